#!/usr/bin/env bash
# Builds the driver image TORVEX.SYS from the driver folders with the i686
# MinGW-w64 cross compiler: a 32-bit native-subsystem WDM driver, entry point
# DriverEntry, linked against import libraries made here from the .def files
# in platform/target, with no C or C++ runtime.
#
# Usage: build_sys.sh OUT_DIR [VARIANT [BUILT_DIR]]
#   VARIANT bad-export       the export table with one name misspelt
#   VARIANT forbidden-import the image also calls a kernel function that is
#                            not on the whitelist
#   VARIANT uninitialised-data the image also has a global without an
#                            initialiser, in a section without file data
# (the variants exist to show that the image check rejects them). A variant
# differs from the image only where it is linked: with BUILT_DIR it links
# the objects an earlier build left there instead of compiling its own.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1
variant=${2:-}
built=${3:-}
target=i686-w64-mingw32
for tool in $target-g++ $target-as $target-dlltool; do
    command -v $tool >/dev/null || { echo "build_sys: $tool is missing: run tools/install_deps.sh" >&2; exit 1; }
done

mkdir -p "$out/obj" "$out/lib"
flags=(-std=c++20 -DTORVEX_TARGET -I. -O2 -Wall -Wno-multichar -Werror
       -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
       -fno-threadsafe-statics -fno-stack-protector -mno-stack-arg-probe -fno-ident
       -fno-zero-initialized-in-bss)  # globals' zeros in the file: no uninitialised data

# The whole driver compiles in a second or two: every build starts afresh.
objects=()
for source in $(find core usb serial ioctl legacy -name '*.cpp' | sort); do
    object="obj/$(echo "${source%.cpp}" | tr / _).o"
    if [ -n "$built" ]; then
        objects+=("$built/$object")
    else
        $target-g++ "${flags[@]}" -c "$source" -o "$out/$object"
        objects+=("$out/$object")
    fi
done
if [ -n "$built" ]; then
    objects+=("$built/obj/legacy_configmg_stubs.o")
else
    $target-as legacy/configmg_stubs.s -o "$out/obj/legacy_configmg_stubs.o"
    objects+=("$out/obj/legacy_configmg_stubs.o")
fi

exports=core/exports.def
imports=(platform/target/ntoskrnl.def platform/target/hal.def platform/target/usbd.def)
case "$variant" in
    "") ;;
    bad-export)
        sed 's/^    WriteForSerport=/    WriteForSerPort=/' core/exports.def > "$out/exports.def"
        exports="$out/exports.def" ;;
    forbidden-import)
        { cat platform/target/ntoskrnl.def; echo "MmMapIoSpace@16"; } > "$out/ntoskrnl.def"
        imports[0]="$out/ntoskrnl.def"
        printf '%s\n' 'extern "C" void* __stdcall MmMapIoSpace(unsigned long long, unsigned long, int);' \
            'extern "C" void* __stdcall TorvexForbidden() { return MmMapIoSpace(0x3F8, 8, 0); }' > "$out/forbidden.cpp"
        $target-g++ "${flags[@]}" -c "$out/forbidden.cpp" -o "$out/obj/forbidden.o"
        objects+=("$out/obj/forbidden.o") ;;
    uninitialised-data)
        echo 'extern "C" int TorvexUninitialised[64]; int TorvexUninitialised[64];' > "$out/uninitialised.cpp"
        $target-g++ "${flags[@]}" -c "$out/uninitialised.cpp" -o "$out/obj/uninitialised.o"
        objects+=("$out/obj/uninitialised.o") ;;
    *) echo "build_sys: unknown variant $variant" >&2; exit 2 ;;
esac

libraries=()
for def in "${imports[@]}"; do
    name=$(basename "$def" .def)
    $target-dlltool --kill-at -d "$def" -l "$out/lib/lib$name.a"
    libraries+=("$out/lib/lib$name.a")
done

# Linked as an image (not a DLL) that keeps its relocations (dynamic base);
# the WDM flag, the native subsystem and the entry point make it a driver.
# The image carries no symbols; the linker's map beside it (TORVEX.map) names
# the routines, for the host to say where a fault in the image happened.
# Nothing else is linked: the image needs no routine of libgcc or of any
# runtime (the link fails if it ever does).
$target-g++ -nostdlib -o "$out/TORVEX.SYS" "${objects[@]}" "$exports" "${libraries[@]}" \
    -Wl,--subsystem,native -Wl,--wdmdriver -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000 \
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 -Wl,--dynamicbase -Wl,--nxcompat \
    -Wl,--no-seh -Wl,--disable-auto-import -Wl,--exclude-all-symbols -s -Wl,-Map,"$out/TORVEX.map"
echo "$out/TORVEX.SYS: $(stat -c %s "$out/TORVEX.SYS") bytes"
