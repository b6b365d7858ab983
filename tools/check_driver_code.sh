#!/usr/bin/env bash
# The driver folders hold kernel code: they include only platform/ headers and
# their own, and use no standard library, exceptions, new/delete or `long`.
set -u
cd "$(dirname "$0")/.."
status=0
report() { echo "$1"; status=1; }
folders=()
for d in core usb serial ioctl legacy; do [ -d "$d" ] && folders+=("$d"); done
[ ${#folders[@]} -eq 0 ] && { echo "no driver sources yet"; exit 0; }
files=$(find "${folders[@]}" -name '*.cpp' -o -name '*.h')
[ -z "$files" ] && { echo "no driver sources yet"; exit 0; }
for f in $files; do
    while IFS= read -r line; do
        inc=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*(.*)$/\1/' <<<"$line")
        case "$inc" in
            \"platform/*|\"core/*|\"usb/*|\"serial/*|\"ioctl/*|\"legacy/*) ;;
            *) report "$f: includes $inc (only platform/ and driver headers are allowed)" ;;
        esac
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$f")
    grep -n -E '\bstd::|\bthrow\b|\btry[[:space:]]*\{|\bcatch[[:space:]]*\(|\bnew[[:space:]]+[A-Za-z_]|\bdelete[[:space:]]+[A-Za-z_\[]|\blong\b|\bdynamic_cast\b|\btypeid\b' "$f" |
        grep -v -E '^[0-9]+:[[:space:]]*//' | while IFS= read -r hit; do echo "$f:$hit: not kernel code"; done | grep . && status=1
done
[ $status -eq 0 ] && echo "driver code is kernel code"
exit $status
