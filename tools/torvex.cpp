// torvex: plugs a simulated adapter into an emulated machine with the driver
// loaded, drives it, and shows what happens — on the debug output, in the
// driver's device objects, and on the wire.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <unistd.h>
#include <string>
#include <utility>

#include "host/kernel/image.h"
#include "host/usb/pcap_writer.h"
#include "ioctl/ioctl_codes.h"
#include "sim/bench/tool.h"
#include "sim/bench/world.h"
#include "sim/serport/serport.h"
#include "tools/adapter.h"
#include "tools/faults.h"
#include "tools/pty.h"
#include "tools/script.h"

namespace {

struct Options {
    std::string command;
    std::string script;  // run: the script's path
    std::optional<std::uint64_t> seed_given;
    std::optional<host::Strategy> strategy;
    std::uint64_t seed = 1;
    sim::ChipKind chip = sim::ChipKind::Extended;
    int interfaces = 1;
    std::string pcap;
    std::string vcd;
    std::vector<std::uint8_t> eeprom;   // --eeprom: an image for the chip
    std::vector<std::string> arguments;  // the inspection commands' own
    bool far_pty = false;                // pty --line pty
    std::string link;                    // pty --link PATH
    int adapters = 1;                    // pty --adapters N
    std::optional<int> interfaces_given;
    std::optional<host::Controller> controller;  // run, faults --controller
    std::uint64_t fault = 0;             // run --fault N
    bool unplug = false;                 // run, faults --unplug
    unsigned jobs = 0;                   // faults --jobs N (0: one per processor)
    unsigned shard = 0;                  // faults --shard K/N (0: none given)
    unsigned shards = 0;                 // faults --shard K/N or --shards N
    std::string junit;                   // faults --junit FILE
    std::string image;                   // --image FILE: the driver image (the 32-bit host)
};

// The usage in three parts: the commands, the script words (from the
// script's own table), the options.
const char* kCommands =
    "usage: torvex COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  demo                 load the driver, plug in an adapter, start it, read and\n"
    "                       write a register by device control, send a line through\n"
    "                       the loopback plug and a break through the port driver's\n"
    "                       exports, and show the banner, the names and the wire trace\n"
    "  run FILE             run a scenario script (FILE - reads standard input);\n"
    "                       exits 1 when an expectation fails, 2 on a script error\n"
    "  faults FILE          run the script once to count its fault points, then once\n"
    "                       per point with that one failing, each in a process of\n"
    "                       its own; prints every run that did not end clean (a\n"
    "                       crash, a bug check, a sanitizer report, a hang, something\n"
    "                       left behind, a port that no longer carries data)\n"
    "  pty [--line loopback|pty] [--link PATH] [--adapters N]\n"
    "                       the port as a pseudo-terminal for serial programs, the\n"
    "                       world in real time; the far end of the line is the\n"
    "                       loopback plug or a second pseudo-terminal (Ctrl-C ends it);\n"
    "                       with N adapters (at most 16) N ports, each its own COM\n"
    "                       port, linked as PATH1 to PATHN\n"
    "  descriptors          the adapter's device, configuration and string descriptors\n"
    "  eeprom read [START] [LENGTH]\n"
    "                       the EEPROM as a hex dump (default all 256 bytes)\n"
    "  eeprom write START HEX...\n"
    "                       writes bytes into the EEPROM from START\n"
    "  registers            registers 0 to 2 and the modem status, bit by bit\n"
    "                       (these three go through the driver's control codes)\n"
    "\n";

const char* kOptions =
    "options:\n"
    "  --seed N             the seed of the world (default 1, or $TORVEX_SEED;\n"
    "                       for run, the script's own unless given)\n"
    "  --chip KIND          comm, vendor or extended (default extended)\n"
    "  --interfaces N       1 or 2 (default 1)\n"
    "  --controller KIND    run, faults: uhci or ohci, the host controller (the script's own\n"
    "                       unless given; default uhci)\n"
    "  --strategy S         how threads are scheduled under the seed: random (default)\n"
    "                       or pct (probabilistic concurrency testing)\n"
    "  --pcap FILE          write the session's USB traffic as a USBPcap capture\n"
    "  --vcd FILE           run, pty: write the line's waveform as a Value Change Dump\n"
    "                       (TXD and RXD bit by bit, the modem lines; GTKWave, PulseView);\n"
    "                       with several adapters one each, numbered: FILE.vcd gives FILE1.vcd...\n"
    "  --fault N            run: fail the Nth fault point (a platform service, a bus\n"
    "                       request, an answer from below) and check the port after\n"
    "  --jobs N             faults: runs at a time (default: one per processor)\n"
    "  --shard K/N          faults: only the K-th of N disjoint slices of the points\n"
    "                       (point P is in slice (P-1) mod N + 1); without it the\n"
    "                       slice comes from GTEST_SHARD_INDEX and GTEST_TOTAL_SHARDS\n"
    "                       (counted from 0) when both are set\n"
    "  --shards N           faults: N slices, this one JOB_COMPLETION_INDEX + 1 (a\n"
    "                       Kubernetes indexed Job's index, counted from 0)\n"
    "  --junit FILE         faults: write the runs as JUnit XML, one test case a point\n"
    "  --unplug             faults, run --fault: the point is the moment the adapter\n"
    "                       is pulled out, instead of a failure\n"
    "  --eeprom FILE        load FILE (at most 256 bytes) into the adapter's EEPROM\n"
    "  --image FILE         run the driver image FILE (build-sys/TORVEX.SYS), loaded as\n"
    "                       the platform's loader loads it: the 32-bit host's torvex\n"
    "                       (make image) takes it for every command, and runs no\n"
    "                       other driver\n"
    "  --help               show this text\n";

std::string usage() { return std::string(kCommands) + tool::script_help() + "\n" + kOptions; }

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "torvex: %s\n\n%s", message.c_str(), usage().c_str());
    std::exit(2);
}

std::optional<std::uint64_t> number(const char* text) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') return std::nullopt;
    return value;
}

Options parse(int argc, char** argv) {
    Options options;
    if (const char* env = std::getenv("TORVEX_SEED")) {
        auto seed = number(env);
        if (!seed) usage_error(std::string("TORVEX_SEED is not a number: ") + env);
        options.seed = *seed;
        options.seed_given = *seed;
    }
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) usage_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage().c_str(), stdout);
            std::exit(0);
        } else if (arg == "--seed") {
            auto seed = number(value());
            if (!seed) usage_error("--seed takes a number");
            options.seed = *seed;
            options.seed_given = *seed;
        } else if (arg == "--chip") {
            std::string kind = value();
            if (kind == "comm") {
                options.chip = sim::ChipKind::Comm;
            } else if (kind == "vendor") {
                options.chip = sim::ChipKind::Vendor;
            } else if (kind == "extended") {
                options.chip = sim::ChipKind::Extended;
            } else {
                usage_error("--chip takes comm, vendor or extended, not " + kind);
            }
        } else if (arg == "--interfaces") {
            std::string count = value();
            if (count != "1" && count != "2") usage_error("--interfaces takes 1 or 2, not " + count);
            options.interfaces = count[0] - '0';
            options.interfaces_given = options.interfaces;
        } else if (arg == "--controller") {
            std::string kind = value();
            if (kind != "uhci" && kind != "ohci") usage_error("--controller takes uhci or ohci, not " + kind);
            options.controller = kind == "ohci" ? host::Controller::Ohci : host::Controller::Uhci;
        } else if (arg == "--fault") {
            auto point = number(value());
            if (!point || *point == 0) usage_error("--fault takes a fault point's number, from 1");
            options.fault = *point;
        } else if (arg == "--unplug") {
            options.unplug = true;
        } else if (arg == "--jobs") {
            auto jobs = number(value());
            if (!jobs || *jobs == 0 || *jobs > 64) usage_error("--jobs takes a number from 1 to 64");
            options.jobs = static_cast<unsigned>(*jobs);
        } else if (arg == "--shard") {
            const std::string slice = value();
            const std::size_t slash = slice.find('/');
            auto k = number(slice.substr(0, slash).c_str());
            auto n = slash == std::string::npos ? std::nullopt : number(slice.substr(slash + 1).c_str());
            if (!k || !n || *k == 0 || *k > *n || *n > 100000) {
                usage_error("--shard takes K/N, a slice K from 1 to N, not " + slice);
            }
            options.shard = static_cast<unsigned>(*k);
            options.shards = static_cast<unsigned>(*n);
        } else if (arg == "--shards") {
            auto n = number(value());
            if (!n || *n == 0 || *n > 100000) usage_error("--shards takes a number of slices from 1");
            options.shards = static_cast<unsigned>(*n);
        } else if (arg == "--junit") {
            options.junit = value();
        } else if (arg == "--strategy") {
            std::string strategy = value();
            if (strategy != "random" && strategy != "pct") usage_error("--strategy takes random or pct, not " + strategy);
            options.strategy = strategy == "pct" ? host::Strategy::Pct : host::Strategy::Random;
        } else if (arg == "--line") {
            std::string line = value();
            if (line != "loopback" && line != "pty") usage_error("--line takes loopback or pty, not " + line);
            options.far_pty = line == "pty";
        } else if (arg == "--link") {
            options.link = value();
        } else if (arg == "--adapters") {
            auto n = number(value());
            if (!n || *n == 0 || *n > sim::kMostAdapters) {
                usage_error("--adapters takes a number from 1 to " + std::to_string(sim::kMostAdapters));
            }
            options.adapters = static_cast<int>(*n);
        } else if (arg == "--pcap") {
            options.pcap = value();
        } else if (arg == "--vcd") {
            options.vcd = value();
        } else if (arg == "--image") {
            options.image = value();
        } else if (arg == "--eeprom") {
            const char* path = value();
            std::FILE* file = std::fopen(path, "rb");
            if (file == nullptr) usage_error(std::string("cannot open ") + path + ": " + std::strerror(errno));
            std::uint8_t image[257];
            const std::size_t n = std::fread(image, 1, sizeof image, file);
            std::fclose(file);
            if (n > 256) usage_error(std::string(path) + " holds more than the EEPROM's 256 bytes");
            options.eeprom.assign(image, image + n);
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            usage_error("unknown option " + arg);
        } else if (options.command.empty()) {
            options.command = arg;
        } else if ((options.command == "run" || options.command == "faults") && options.script.empty()) {
            options.script = arg;
        } else if (options.command == "eeprom" || options.command == "descriptors" || options.command == "registers") {
            options.arguments.push_back(arg);
        } else {
            usage_error("unexpected argument " + arg);
        }
    }
    if (options.command.empty()) usage_error("no command given");
    if (options.command != "demo" && options.command != "run" && options.command != "faults" &&
        options.command != "descriptors" &&
        options.command != "eeprom" && options.command != "registers" && options.command != "pty") {
        usage_error("unknown command " + options.command);
    }
    if ((options.command == "run" || options.command == "faults") && options.script.empty()) {
        usage_error(options.command + " needs a script file");
    }
    if (options.fault != 0 && options.command != "run") usage_error("--fault is an option of run");
    if ((options.jobs != 0 || options.shards != 0 || !options.junit.empty()) && options.command != "faults") {
        usage_error("--jobs, --shard, --shards and --junit are options of faults");
    }
    if (options.unplug && (options.command != "faults" && (options.command != "run" || options.fault == 0))) {
        usage_error("--unplug is an option of faults, and of run with --fault");
    }
    if (!options.vcd.empty() && options.command != "run" && options.command != "pty") {
        usage_error("--vcd is an option of run and pty");
    }
    if ((options.far_pty || !options.link.empty() || options.adapters != 1) && options.command != "pty") {
        usage_error("--line, --link and --adapters are options of pty");
    }
#if defined(TORVEX_IMAGE_HOST)
    if (options.image.empty()) usage_error("this torvex runs the driver image: give it with --image build-sys/TORVEX.SYS");
#else
    if (!options.image.empty()) usage_error("--image is for the 32-bit host that runs the image: make image, then build-image/torvex");
#endif
    return options;
}

// The world the options describe, for the commands that start an adapter.
sim::WorldOptions world_options(const Options& options) {
    return {.seed = options.seed,
            .strategy = options.strategy.value_or(host::Strategy::Random),
            .adapters = options.adapters,
            .chip = options.chip,
            .interfaces = options.interfaces,
            .eeprom = options.eeprom,
            .image = options.image};
}

const char* chip_name(sim::ChipKind kind) {
    switch (kind) {
    case sim::ChipKind::Comm: return "comm (class 0x02)";
    case sim::ChipKind::Vendor: return "vendor (class 0xFF)";
    case sim::ChipKind::Extended: return "extended (class 0x00, 64-byte endpoint 0)";
    }
    return "?";
}

// The driver as programs and the port driver meet it: its device by name,
// device control, and the port driver's exports; so it runs on the image too.
int demo(const Options& options) {
    std::printf("torvex demo: seed %llu, chip %s, %d interface%s\n\n",
                static_cast<unsigned long long>(options.seed), chip_name(options.chip), options.interfaces,
                options.interfaces == 1 ? "" : "s");
    sim::World world(world_options(options));
    host::Kernel& kernel = world.kernel();

    std::printf("debug output:\n  %s\n", kernel.debug_output().c_str());
    std::printf("device added:\n");
    for (const std::string& name : kernel.io().namespace_listing()) {
        if (name.find("SerialPort") != std::string::npos || name.find("USBCOM") != std::string::npos) {
            std::printf("  %s\n", name.c_str());
        }
    }
    sim::Tool tool(world);
    std::printf("  a program opens it as %s\n\n", tool.device_name().c_str());

    NTSTATUS status = world.start();
    std::printf("start: 0x%08X\n", static_cast<unsigned>(status));

    // Register 0 by device control: a synchronous vendor read, a vendor write.
    const std::uint8_t read_register0[] = {0x80, 0x00};
    sim::Tool::Answer read = tool.send(IOCTL_USB2SER_GET_ENCAP, read_register0, 1);
    std::printf("device control GET_ENCAP, read register 0: 0x%08X, value 0x%02X\n", static_cast<unsigned>(read.status),
                read.output.empty() ? 0 : read.output[0]);
    const std::uint8_t write_register0[] = {0x00, 0x00, 0x01, 0x00};  // no flow-control bit
    sim::Tool::Answer written = tool.send(IOCTL_USB2SER_SEND_ENCAP, write_register0, 0);
    std::printf("device control SEND_ENCAP, write register 0 = 0x01: 0x%08X, register now 0x%02X\n\n",
                static_cast<unsigned>(written.status), world.chip().reg(0));

    // The port through the port driver's exports: a short exchange through the
    // loopback plug (a line out on the bulk-out pipe, back on the bulk-in
    // pipe), then a break, whose requests go without waiting for an answer.
    sim::Serport serport(world.port());
    sim::Serport::register_callbacks();
    serport.set_baud(115'200);
    serport.open();
    const std::string line = "hello through the loopback plug";
    host::Time sent_at = kernel.now();
    serport.write(std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    std::string echoed;
    while (echoed.size() < line.size()) {
        std::vector<std::uint8_t> part = serport.read(line.size() - echoed.size(), host::kSecond);
        if (part.empty()) break;
        echoed.append(part.begin(), part.end());
    }
    std::printf("loopback at 115,200 baud: sent \"%s\", read back \"%s\" after %.3f ms\n", line.c_str(),
                echoed.c_str(), static_cast<double>(kernel.now() - sent_at) / host::kMillisecond);
    const bool on = serport.set_break(true);
    kernel.run_for(2 * host::kMillisecond);
    const bool off = serport.set_break(false);
    kernel.run_for(2 * host::kMillisecond);
    std::printf("break on and off (fire-and-forget): %s, %s\n\n", on ? "TRUE" : "FALSE", off ? "TRUE" : "FALSE");
    serport.close();

    std::printf("wire trace:\n%s\n", world.bus().trace().text().c_str());
    if (!options.pcap.empty()) {
        std::string error;
        if (!host::write_pcap(options.pcap, world.bus().trace(), world.bus().snapshots(), &error)) {
            std::fprintf(stderr, "torvex: cannot write the capture: %s\n", error.c_str());
            return 1;
        }
        std::printf("capture written to %s (%zu records)\n", options.pcap.c_str(),
                    world.bus().trace().records().size() + 4);
    }
    std::string left = world.teardown();
    if (!left.empty()) {
        std::fprintf(stderr, "torvex: the world left this behind:\n%s", left.c_str());
        return 1;
    }
    std::printf("device removed, driver unloaded, nothing left behind\n");
    return 0;
}

int run(const Options& options) {
    std::string text;
    std::string error;
    if (!tool::read_script(options.script, &text, &error)) {
        std::fprintf(stderr, "torvex: %s\n", error.c_str());
        return 2;
    }
    return tool::run_script(
        text,
        tool::ScriptRun{.path = options.script,
                        .seed = options.seed_given,
                        .strategy = options.strategy,
                        .interfaces = options.interfaces_given,
                        .controller = options.controller,
                        .fault = options.fault,
                        .unplug = options.unplug,
                        .vcd = options.vcd,
                        .image = options.image},
        stdout);
}

// The slice of the fault points this run takes, as K of N: given on the
// command line, or by the conventional variables of the engine that runs the
// slices: GoogleTest's sharding (a CI matrix that runs test programs) or a
// Kubernetes indexed Job's index, both counted from 0. GoogleTest's protocol
// also asks a program that shards to touch GTEST_SHARD_STATUS_FILE.
std::pair<unsigned, unsigned> slice(const Options& options) {
    auto index = [](const char* variable, unsigned count) {
        const char* text = std::getenv(variable);
        if (text == nullptr) usage_error(std::string("--shards needs ") + variable);
        auto k = number(text);
        if (!k || *k >= count) {
            usage_error(std::string(variable) + " is not a slice from 0 to " + std::to_string(count - 1) + ": " + text);
        }
        return static_cast<unsigned>(*k) + 1;
    };
    if (options.shard != 0) return {options.shard, options.shards};
    if (options.shards != 0) return {index("JOB_COMPLETION_INDEX", options.shards), options.shards};
    const char* total = std::getenv("GTEST_TOTAL_SHARDS");
    if (total == nullptr || std::getenv("GTEST_SHARD_INDEX") == nullptr) return {1, 1};
    if (const char* status = std::getenv("GTEST_SHARD_STATUS_FILE")) {
        if (std::FILE* file = std::fopen(status, "w")) std::fclose(file);
    }
    auto n = number(total);
    if (!n || *n == 0 || *n > 100000) usage_error(std::string("GTEST_TOTAL_SHARDS is not a number of slices: ") + total);
    const unsigned shards = static_cast<unsigned>(*n);
    return {index("GTEST_SHARD_INDEX", shards), shards};
}

int faults(const Options& options, const char* self) {
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    const auto [shard, shards] = slice(options);
    return tool::faults_command({.self = self,
                                 .path = options.script,
                                 .seed = options.seed_given,
                                 .strategy = options.strategy,
                                 .interfaces = options.interfaces_given,
                                 .controller = options.controller,
                                 .unplug = options.unplug,
                                 .jobs = options.jobs != 0 ? options.jobs : static_cast<unsigned>(std::max(1L, processors)),
                                 .image = options.image,
                                 .shard = shard,
                                 .shards = shards,
                                 .junit = options.junit},
                                stdout);
}


}  // namespace

int main(int argc, char** argv) {
    Options options = parse(argc, argv);
#if defined(TORVEX_IMAGE_HOST)
    // An image the loader refuses is told once, plainly, before any world.
    std::string refused;
    if (!host::load_image(options.image, &refused)) {
        std::fprintf(stderr, "torvex: the loader refuses %s\n", refused.c_str());
        return 1;
    }
#endif
    if (options.command == "run") return run(options);
    if (options.command == "faults") return faults(options, "/proc/self/exe");
    if (options.command == "demo") return demo(options);
    if (options.command == "pty") {
        return tool::pty_command(
            {.world = world_options(options), .far_pty = options.far_pty, .link = options.link, .vcd = options.vcd},
                                 stdout, stderr);
    }
    return tool::adapter_command(options.command, options.arguments, world_options(options), stdout, stderr);
}
