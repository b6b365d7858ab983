#include "tools/script.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "host/usb/pcap_writer.h"
#include "sim/bench/tool.h"
#include "sim/bench/world.h"
#include "sim/line/vcd.h"
#include "sim/serport/serport.h"
#include "tools/text.h"

namespace tool {

namespace {

using host::kMillisecond;
using host::Time;

constexpr Time kDefaultTimeout = host::kSecond;

struct Line {
    int number = 0;
    std::string text;
    std::vector<std::string> words;  // a quoted word keeps its quotes off and its escapes decoded
};

// Why a command could not be carried out (a script error) or did not hold
// (a failed expectation).
struct Stop {
    bool failed_expectation;
    std::string reason;
};

constexpr std::size_t kShownBytes = 48;       // a longer text is shown cut, with its length
constexpr std::size_t kRepeatedBytes = 1 << 20;  // "TEXT"*N makes at most this many

std::string quoted(const std::string& bytes) {
    if (bytes.size() > kShownBytes) {
        return quoted(bytes.substr(0, kShownBytes)) + "... (" + std::to_string(bytes.size()) + " bytes)";
    }
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Splits a line into words; "quoted text" is one word, with \n \r \t \\ \"
// and \xHH decoded, and "quoted text"*N is that text N times over. Text after
// an unquoted '#' is a comment.
std::optional<std::vector<std::string>> split(const std::string& text, std::string* error) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string word;
            ++i;
            for (;;) {
                if (i >= text.size()) {
                    *error = "a quoted text is not closed";
                    return std::nullopt;
                }
                char d = text[i++];
                if (d == '"') break;
                if (d != '\\') {
                    word += d;
                    continue;
                }
                if (i >= text.size()) {
                    *error = "a quoted text ends in a backslash";
                    return std::nullopt;
                }
                char e = text[i++];
                if (e == 'n') {
                    word += '\n';
                } else if (e == 'r') {
                    word += '\r';
                } else if (e == 't') {
                    word += '\t';
                } else if (e == 'x' && i + 2 <= text.size()) {
                    char* end = nullptr;
                    std::string hex = text.substr(i, 2);
                    long value = std::strtol(hex.c_str(), &end, 16);
                    if (end != hex.c_str() + 2) {
                        *error = "\\x needs two hexadecimal digits";
                        return std::nullopt;
                    }
                    word += static_cast<char>(value);
                    i += 2;
                } else {
                    word += e;
                }
            }
            if (i < text.size() && text[i] == '*') {
                std::size_t end = ++i;
                while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - i < 8) ++end;
                const std::size_t times = end > i ? std::stoul(text.substr(i, end - i)) : 0;
                if (times == 0 || word.empty() || word.size() * times > kRepeatedBytes) {
                    *error = "\"TEXT\"*N takes a count from 1, for at most " + std::to_string(kRepeatedBytes) +
                             " bytes";
                    return std::nullopt;
                }
                std::string whole;
                for (std::size_t n = 0; n < times; ++n) whole += word;
                word = std::move(whole);
                i = end;
            }
            words.push_back(word);
        } else {
            std::size_t start = i;
            while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') ++i;
            words.push_back(text.substr(start, i - start));
        }
    }
    return words;
}

// A command as it is shown: its words, a text quoted when it needs to be.
std::string shown(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words) {
        bool plain = !word.empty() && word.size() <= kShownBytes;
        for (unsigned char c : word) plain = plain && c > 0x20 && c < 0x7F && c != '"' && c != '#' && c != '\\';
        out += (out.empty() ? "" : " ") + (plain ? word : quoted(word));
    }
    return out;
}

// "250ms", "2s", "500us", or a plain number of milliseconds.
std::optional<Time> duration(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 12) return std::nullopt;
    const Time value = std::stoll(text.substr(0, digits));
    const std::string unit = text.substr(digits);
    if (unit == "us") return value * host::kMicrosecond;
    if (unit == "ms" || unit.empty()) return value * kMillisecond;
    if (unit == "s") return value * host::kSecond;
    return std::nullopt;
}

// "8N1", "7E1", "8N1.5", "5M2": data bits, parity, stop bits.
std::optional<sim::LineSettings> framing(const std::string& text, ULONG baud) {
    if (text.size() < 3 || text[0] < '5' || text[0] > '8') return std::nullopt;
    static const std::string parities = "NOEMS";
    std::size_t parity = parities.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[1]))));
    if (parity == std::string::npos) return std::nullopt;
    const std::string stop = text.substr(2);
    UCHAR stop_bits;
    if (stop == "1") {
        stop_bits = 0;
    } else if (stop == "1.5") {
        stop_bits = 1;
    } else if (stop == "2") {
        stop_bits = 2;
    } else {
        return std::nullopt;
    }
    return sim::LineSettings{baud, static_cast<UCHAR>(text[0] - '0'), static_cast<UCHAR>(parity), stop_bits};
}

std::optional<bool> on_off(const std::string& text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return std::nullopt;
}

// The script's words, in the groups help shows them in.
enum class Group { World, Port, Peer, Adapter, System, DeviceControl, Anything };

const char* const kGroupTitles[] = {"world, before anything else", "port", "peer (line peer)", "the adapter",
                                    "the system", "device control", "anything"};

class Runner;
using Handler = std::string (Runner::*)(const std::vector<std::string>&);

// One word of the language: its name ("baud", or "peer send"), its
// arguments and its line of help as torvex --help shows them, and its handler.
struct Word {
    const char* name;
    const char* arguments;
    const char* help;
    Group group;
    Handler handler;
};

class Runner {
public:
    Runner(const ScriptRun& run, std::FILE* out) : m_run(run), m_out(out) {}

    int execute(const std::vector<Line>& lines);

    static const Word kWords[];
    // The word a line's words start with, or none.
    static const Word* find(const std::vector<std::string>& w);

private:
    using Words = std::vector<std::string>;

    // World setup, before the first other command.
    void setup(const Line& line);
    void build_world();
    bool finish_vcd(Time end);
    std::string command(const Words& w);
    std::string pnp_command(const std::string& c);
    // The words' handlers: each checks its arguments and answers with what
    // the command did.
    std::string adapter_word(const Words& w);
    std::string sleep_word(const Words& w);
    std::string wake_word(const Words& w);
    std::string uart_word(const Words& w);
    std::string ioctl_word(const Words& w);
    std::string multiport_word(const Words& w);
    std::string identifiers_word(const Words& w);
    std::string other_vm_word(const Words& w);
    std::string open_close_word(const Words& w);
    std::string baud_word(const Words& w);
    std::string framing_word(const Words& w);
    std::string control_line_word(const Words& w);
    std::string flow_word(const Words& w);
    std::string rate_table_word(const Words& w);
    std::string poll_word(const Words& w);
    std::string kick_word(const Words& w);
    std::string state_word(const Words& w);
    std::string write_word(const Words& w);
    std::string read_word(const Words& w);
    std::string expect_word(const Words& w);
    std::string expect_modem_word(const Words& w);
    std::string expect_event_word(const Words& w);
    std::string wait_word(const Words& w);
    std::string pcap_word(const Words& w);
    std::string peer_send_word(const Words& w);
    std::string peer_expect_word(const Words& w);
    std::string peer_read_word(const Words& w);
    std::string peer_lines_word(const Words& w);
    std::string peer_expect_line_word(const Words& w);
    std::string peer_expect_break_word(const Words& w);
    std::string peer_framing_word(const Words& w);
    std::string peer_flow_word(const Words& w);
    std::string peer_expect_errors_word(const Words& w);
    std::string seed_word(const Words& w);
    std::string chip_word(const Words& w);
    std::string interfaces_word(const Words& w);
    std::string strategy_word(const Words& w);
    std::string port_power_word(const Words& w);
    std::string platform_word(const Words& w);
    std::string spurious_waits_word(const Words& w);
    std::string jitter_word(const Words& w);
    std::string controller_word(const Words& w);
    std::string line_word(const Words& w);
    std::string adapters_word(const Words& w);
    std::string select_word(const Words& w);
    std::string port_name_word(const Words& w);

    // A COM port of the port driver, as the script's application uses it.
    struct Port {
        std::unique_ptr<sim::Serport> serport;
        std::string received;  // the bytes read and not yet matched
        sim::Serport::LineEvents events_seen;
    };
    // What the script keeps of each adapter.
    struct Station {
        std::size_t peer_matched = 0;
        std::size_t peer_errors_seen = 0;
        bool started = false;  // the last start (or plug) succeeded and no stop came since
    };

    // The adapter the commands talk to, and what the script keeps of it.
    sim::Adapter& adapter() { return m_world->adapter(m_selected); }
    Station& station() { return m_stations[static_cast<std::size_t>(m_selected - 1)]; }
    // The port of the selected adapter's device: the port driver's port under
    // the number the device is bound to.
    Port& port_state() { return port_under(port_number(adapter())); }
    sim::Serport& port() { return *port_state().serport; }
    // The device's COM port number; 0 while there is no device (its AddDevice failed).
    static ULONG port_number(const sim::Adapter& a) { return a.fdo() != nullptr ? a.port() : 0; }
    // The port driver's port of that number, made when first needed.
    Port& port_under(ULONG number);
    sim::ScriptedPeer& peer();
    host::Kernel& kernel() { return m_world->kernel(); }
    // "adapter K: " before a command's line where the world has more than one.
    std::string whose() const;

    void run_line(const Line& line);
    void finish_pull_out();
    std::string replay() const;
    std::string check_after_fault();
    std::string check_adapter_after_fault();
    std::string expect_port(const std::string& text, Time timeout);
    std::string expect_peer(const std::string& text, Time timeout);
    static void need(bool condition, const std::string& message) {
        if (!condition) throw Stop{false, message};
    }
    // A time word, or a script error.
    static Time time_word(const std::string& word) {
        auto t = duration(word);
        need(t.has_value(), "not a duration: " + word);
        return *t;
    }
    // The time-out at w[i], or the default when the command gives none.
    static Time timeout_at(const Words& w, std::size_t i) { return w.size() <= i ? kDefaultTimeout : time_word(w[i]); }
    static void hold(bool condition, const std::string& message) {
        if (!condition) throw Stop{true, message};
    }
    // The command takes from `low` to `high` values.
    static void args(const Words& w, std::size_t low, std::size_t high) {
        need(w.size() >= low + 1 && w.size() <= high + 1,
             "\"" + w[0] + "\" takes " +
                 (low == high ? std::to_string(low) : std::to_string(low) + " to " + std::to_string(high)) + " value" +
                 (high == 1 ? "" : "s"));
    }
    static std::string answer(bool ok) { return ok ? "TRUE" : "FALSE"; }
    // A command that needs the adapter in (or out): a script error, but for
    // an expectation the fault made fail when the fault pulled it out.
    void plugged_in(bool in) {
        if (adapter().plugged() == in) return;
        const std::string message = in ? "the adapter is not plugged in" : "the adapter is plugged in already";
        if (m_run.unplug) hold(false, message);
        need(false, message);
    }

    const ScriptRun& m_run;
    std::FILE* m_out;
    sim::WorldOptions m_options;
    // One waveform for each adapter; the chips report to them: they outlive the world.
    std::vector<std::unique_ptr<sim::VcdWriter>> m_vcds;
    std::unique_ptr<sim::World> m_world;
    std::map<ULONG, Port> m_ports;  // the port driver's ports, by number
    std::vector<Station> m_stations;  // by adapter
    int m_selected = 1;
};

sim::ScriptedPeer& Runner::peer() {
    need(m_options.line == sim::LineKind::Peer, "the line ends in a loopback plug: there is no peer (\"line peer\")");
    return adapter().peer();
}

Runner::Port& Runner::port_under(ULONG number) {
    Port& p = m_ports[number];
    if (!p.serport) {
        p.serport = std::make_unique<sim::Serport>(number);
        sim::Serport::register_callbacks();
    }
    return p;
}

std::string Runner::whose() const {
    return m_world && m_world->adapters() > 1 ? "adapter " + std::to_string(m_selected) + ": " : "";
}

const Word Runner::kWords[] = {
    {"seed", "N", "the world's seed (default 1; --seed wins)", Group::World, &Runner::seed_word},
    {"chip", "comm|vendor|extended", "the kind of adapter (default extended)", Group::World, &Runner::chip_word},
    {"interfaces", "1|2", "its interface layout (default 1)", Group::World, &Runner::interfaces_word},
    {"line", "loopback|peer", "the far end of the cable (default the loopback plug)", Group::World, &Runner::line_word},
    {"strategy", "random|pct", "how threads are scheduled under the seed (--strategy wins)", Group::World,
     &Runner::strategy_word},
    {"platform", "98se|me", "Windows 98 SE (the default) or Windows Me", Group::World, &Runner::platform_word},
    {"spurious-waits", "N", "one driver wait in N answers 0xFFFFFFFF (default 64; 0: none)", Group::World,
     &Runner::spurious_waits_word},
    {"jitter", "FRAMES", "how many frames late the host controller may be (0 to 8, default 2)", Group::World,
     &Runner::jitter_word},
    {"controller", "uhci|ohci", "the host controller's kind (default uhci)", Group::World, &Runner::controller_word},
    {"adapters", "N", "so many adapters on the bus, alike (default 1, at most 16)", Group::World,
     &Runner::adapters_word},
    {"port-power", "cut|kept", "whether the adapter loses its power while the system sleeps", Group::World,
     &Runner::port_power_word},

    {"open", "", "opens the port", Group::Port, &Runner::open_close_word},
    {"close", "", "closes the port", Group::Port, &Runner::open_close_word},
    {"baud", "RATE", "sets the rate; shows the rate the driver chose and the chip's", Group::Port, &Runner::baud_word},
    {"framing", "8N1", "data bits 5 to 8, parity N O E M S, stop bits 1, 1.5 or 2", Group::Port, &Runner::framing_word},
    {"dtr", "on|off", "the DTR line", Group::Port, &Runner::control_line_word},
    {"rts", "on|off", "the RTS line", Group::Port, &Runner::control_line_word},
    {"flow", "none|hardware|xon", "flow control (XON/XOFF on the extended chip only)", Group::Port, &Runner::flow_word},
    {"break", "on|off", "holds the line in a break, or ends it", Group::Port, &Runner::control_line_word},
    {"rate-table", "\"RATE,CODE ...\"", "hands the driver its run-time baud-rate table", Group::Port,
     &Runner::rate_table_word},
    {"poll", "", "reads one status packet on request", Group::Port, &Runner::poll_word},
    {"kick", "", "wakes the driver's worker thread", Group::Port, &Runner::kick_word},
    {"state", "", "reads the line coding back", Group::Port, &Runner::state_word},
    {"other-vm", "on|off", "the port driver's calls come from another virtual machine", Group::Port,
     &Runner::other_vm_word},
    {"write", "\"TEXT\"", "queues bytes to send", Group::Port, &Runner::write_word},
    {"read", "[TIME]", "shows what arrives within the time (default 1 s)", Group::Port, &Runner::read_word},
    {"expect", "\"TEXT\" [TIME]", "the next bytes to arrive are exactly these", Group::Port, &Runner::expect_word},
    {"expect-modem", "cts|dsr|dcd|ri on|off ...", "the modem status lines as last reported", Group::Port,
     &Runner::expect_modem_word},
    {"expect-event", "break|framing|parity|overrun|cts|dsr|dcd|ri", "at least one such report since the last look",
     Group::Port, &Runner::expect_event_word},

    {"peer send", "\"TEXT\"", "the peer starts sending", Group::Peer, &Runner::peer_send_word},
    {"peer expect", "\"TEXT\" [TIME]", "the next bytes the peer receives are exactly these", Group::Peer,
     &Runner::peer_expect_word},
    {"peer read", "[TIME]", "shows what the peer received and receives within the time", Group::Peer,
     &Runner::peer_read_word},
    {"peer lines", "cts|dsr|dcd|ri on|off ...", "the lines the peer drives toward the port", Group::Peer,
     &Runner::peer_lines_word},
    {"peer expect-line", "dtr|rts|aux on|off", "a line the port drives, as the peer sees it now", Group::Peer,
     &Runner::peer_expect_line_word},
    {"peer expect-break", "[TIME]", "the peer saw a break, at least this long", Group::Peer,
     &Runner::peer_expect_break_word},
    {"peer expect-errors", "", "the peer received wrongly framed characters since the last look", Group::Peer,
     &Runner::peer_expect_errors_word},
    {"peer framing", "RATE 8N1|follow", "the peer's own UART, or the port's again", Group::Peer,
     &Runner::peer_framing_word},
    {"peer flow", "none|hardware|xon", "the peer holds back while RTS is low, or after an XOFF", Group::Peer,
     &Runner::peer_flow_word},

    {"adapter", "K", "the commands that follow talk to adapter K: its port, its far end, its chip", Group::Adapter,
     &Runner::select_word},
    {"plug", "", "the adapter goes in and starts", Group::Adapter, &Runner::adapter_word},
    {"unplug", "", "the adapter is pulled out", Group::Adapter, &Runner::adapter_word},
    {"replug", "", "unplug, then plug", Group::Adapter, &Runner::adapter_word},
    {"stop", "", "a stop through the Plug and Play manager", Group::Adapter, &Runner::adapter_word},
    {"start", "", "a start through the Plug and Play manager", Group::Adapter, &Runner::adapter_word},
    {"multiport", "N", "sets \"MultiportDevice\" in the device's hardware key", Group::Adapter,
     &Runner::multiport_word},
    {"identifiers", "", "asks for the hardware identifiers", Group::Adapter, &Runner::identifiers_word},
    {"port-name", "COMn", "sets \"PORTNAME\" in the port's hardware key; the device reads it at its next start",
     Group::Adapter, &Runner::port_name_word},

    {"sleep", "[S1..S5]", "the system sleeps (default S3)", Group::System, &Runner::sleep_word},
    {"wake", "", "the system works again", Group::System, &Runner::wake_word},
    {"uart", "", "the chip's UART as the line sees it, its FIFOs and its counts", Group::System, &Runner::uart_word},
    {"expect-uart", "\"57600 7E1, flow hardware, DTR on, RTS on\"", "the chip's UART is exactly so", Group::System,
     &Runner::uart_word},

    {"ioctl", "NAME [HEX|-] [N]", "a tool sends a device-control code and shows the answer", Group::DeviceControl,
     &Runner::ioctl_word},

    {"wait", "TIME", "lets the world run", Group::Anything, &Runner::wait_word},
    {"pcap", "FILE", "writes the USB traffic so far as a capture", Group::Anything, &Runner::pcap_word},
};

const Word* Runner::find(const std::vector<std::string>& w) {
    const std::string name = w[0] == "peer" && w.size() >= 2 ? "peer " + w[1] : w[0];
    for (const Word& word : kWords) {
        if (name == word.name) return &word;
    }
    return nullptr;
}

void Runner::setup(const Line& line) {
    const Words& w = line.words;
    need(w.size() == 2, "\"" + w[0] + "\" takes one value");
    (this->*find(w)->handler)(w);
}

std::string Runner::command(const Words& w) {
    if (w[0] == "peer") need(w.size() >= 2, "peer takes a command");
    const Word* word = find(w);
    if (word == nullptr && w[0] == "peer") need(false, "unknown peer command \"" + w[1] + "\"");
    need(word != nullptr, "unknown command \"" + w[0] + "\"");
    return (this->*word->handler)(w);
}


std::string Runner::adapter_word(const Words& w) {
    const std::string& c = w[0];
    args(w, 0, 0);
    return pnp_command(c);
}

std::string Runner::sleep_word(const Words& w) {
    args(w, 0, 1);
    plugged_in(true);
    int state = 3;
    if (w.size() == 2) {
        need(w[1].size() == 2 && w[1][0] == 'S' && w[1][1] >= '1' && w[1][1] <= '5', "sleep takes S1 to S5");
        state = w[1][1] - '0';
    }
    const bool cut = !m_world->bus().unpowered(adapter().pdo());
    const NTSTATUS slept = m_world->sleep(static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + state));
    return "the system sleeps in S" + std::to_string(state) + ": " + status_text(slept) +
           (cut && m_world->bus().unpowered(adapter().pdo()) ? ", the port's power is cut" : "");
}

std::string Runner::wake_word(const Words& w) {
    args(w, 0, 0);
    plugged_in(true);
    const NTSTATUS woke = m_world->wake();
    // A device whose power did not come back works no more: a user puts it
    // back in, as after a failed start (which device failed the answer does
    // not tell: each is put back).
    if (!NT_SUCCESS(woke)) {
        for (Station& each : m_stations) each.started = false;
    }
    return "the system works again: " + status_text(woke);
}

std::string Runner::uart_word(const Words& w) {
    const std::string& c = w[0];
    args(w, c == "uart" ? 0 : 1, c == "uart" ? 0 : 1);
    plugged_in(true);
    const std::string uart = uart_text(adapter().chip());
    if (c == "expect-uart") {
        hold(uart == w[1], "expected the chip's UART at " + quoted(w[1]) + ", found " + quoted(uart));
        return "the chip's UART runs at " + uart;
    }
    sim::BridgeChip& chip = adapter().chip();
    const sim::ChipCounters& counters = chip.counters();
    return "the chip's UART runs at " + uart + "; FIFOs " + std::to_string(chip.tx_fifo_level()) + " to send, " +
           std::to_string(chip.rx_fifo_level()) + " received; " + std::to_string(counters.tx_bytes) + " sent, " +
           std::to_string(counters.rx_bytes) + " received, " + std::to_string(counters.overruns) + " overruns";
}

std::string Runner::ioctl_word(const Words& w) {
    args(w, 1, 3);
    plugged_in(true);
    std::optional<std::uint64_t> code = sim::Tool::code_of(w[1]);
    if (!code) code = unsigned_number(w[1]);
    need(code && *code <= 0xFFFFFFFFu, "ioctl takes a code's name (IOCTL_...) or its number");
    std::vector<std::uint8_t> input;
    if (w.size() >= 3 && w[2] != "-") {
        auto bytes = hex_bytes(w[2]);
        need(bytes.has_value(), "the input of ioctl is hex bytes, as in \"01 00 44 00\", or - for none");
        input = *bytes;
    }
    std::uint64_t output = 0;
    if (w.size() == 4) {
        auto n = unsigned_number(w[3]);
        need(n && *n <= 0x10000, "the output length of ioctl is a number of bytes, at most 65536");
        output = *n;
    }
    sim::Tool::Answer answer =
        sim::Tool(*m_world, m_selected).send(static_cast<ULONG>(*code), input, static_cast<ULONG>(output));
    return "status " + status_text(answer.status) + ", information " + std::to_string(answer.information) +
           (answer.output.empty() ? "" : ": " + hex_text(answer.output));
}

std::string Runner::multiport_word(const Words& w) {
    args(w, 1, 1);
    auto value = unsigned_number(w[1]);
    need(value && *value <= 0xFFFFFFFFu, "multiport takes a number");
    plugged_in(true);
    kernel().registry().set_dword(adapter().pdo(), "MultiportDevice", static_cast<ULONG>(*value));
    return "\"MultiportDevice\" = " + w[1] + " in the device's hardware key";
}

std::string Runner::identifiers_word(const Words& w) {
    args(w, 0, 0);
    plugged_in(true);
    std::vector<std::u16string> ids;
    NTSTATUS status = kernel().pnp().query_id(adapter().pdo(), BusQueryHardwareIDs, &ids);
    std::string out = "hardware identifiers:";
    for (const std::u16string& id : ids) out += " " + std::string(id.begin(), id.end());
    char code[32];
    std::snprintf(code, sizeof code, " (status 0x%08X)", static_cast<unsigned>(status));
    return out + code;
}

std::string Runner::other_vm_word(const Words& w) {
    args(w, 1, 1);
    auto on = on_off(w[1]);
    need(on.has_value(), "other-vm takes on or off");
    kernel().set_other_vm(*on);
    return *on ? "the port driver's calls come from another virtual machine: every wait in them answers at once"
               : "the port driver's calls come from the system virtual machine";
}

std::string Runner::open_close_word(const Words& w) {
    const std::string& c = w[0];
    args(w, 0, 0);
    return answer(c == "open" ? port().open() : port().close());
}

std::string Runner::baud_word(const Words& w) {
    args(w, 1, 1);
    auto rate = unsigned_number(w[1]);
    need(rate && *rate <= 0xFFFFFFFFu, "baud takes a rate");
    bool ok = port().set_baud(static_cast<ULONG>(*rate));
    return answer(ok) + ", the driver chose " + std::to_string(port().rate()) + ", the chip runs at " +
           std::to_string(adapter().chip().line_coding().baud);
}

std::string Runner::framing_word(const Words& w) {
    args(w, 1, 1);
    auto line = framing(w[1], port().line().baud);
    need(line.has_value(), "framing takes data bits, parity and stop bits, as in 8N1 or 7E1");
    bool ok = port().set_line(*line);
    const sim::LineCoding& coding = adapter().chip().line_coding();
    return answer(ok) + ", the chip runs at " + std::to_string(coding.baud) + " " +
           framing_name(coding.data_bits, coding.parity, coding.char_format);
}

std::string Runner::control_line_word(const Words& w) {
    const std::string& c = w[0];
    args(w, 1, 1);
    auto on = on_off(w[1]);
    need(on.has_value(), c + " takes on or off");
    return answer(c == "dtr" ? port().set_dtr(*on) : c == "rts" ? port().set_rts(*on) : port().set_break(*on));
}

std::string Runner::flow_word(const Words& w) {
    args(w, 1, 1);
    need(w[1] == "none" || w[1] == "hardware" || w[1] == "xon", "flow takes none, hardware or xon");
    const bool extended = m_options.chip == sim::ChipKind::Extended;
    need(w[1] != "xon" || extended, "XON/XOFF needs the extended chip");
    // On the extended chip the two switches share register 0's bit 0x40:
    // the one switched off goes first.
    bool ok = true;
    if (w[1] != "xon" && extended) ok = port().set_xon_xoff(false);
    ok = port().set_hardware_flow(w[1] == "hardware") && ok;
    if (w[1] == "xon") ok = port().set_xon_xoff(true) && ok;
    return answer(ok);
}

std::string Runner::rate_table_word(const Words& w) {
    args(w, 1, 1);
    return answer(sim::Serport::set_rate_table(w[1]));
}

std::string Runner::poll_word(const Words& w) {
    args(w, 0, 0);
    bool ok = port().poll_status();
    char status[32];
    std::snprintf(status, sizeof status, ", modem status 0x%04X", port().modem_status());
    return answer(ok) + status;
}

std::string Runner::kick_word(const Words& w) {
    args(w, 0, 0);
    return answer(port().kick());
}

std::string Runner::state_word(const Words& w) {
    args(w, 0, 0);
    auto line = port().read_line();
    hold(line.has_value(), "the line coding could not be read back");
    return "reads back " + std::to_string(line->baud) + " " +
           framing_name(line->data_bits, line->parity, line->stop_bits);
}

std::string Runner::write_word(const Words& w) {
    args(w, 1, 1);
    port().write(std::span(reinterpret_cast<const std::uint8_t*>(w[1].data()), w[1].size()));
    return "queued " + std::to_string(w[1].size()) + " bytes";
}

std::string Runner::read_word(const Words& w) {
    args(w, 0, 1);
    const Time end = kernel().now() + timeout_at(w, 1);
    do {
        std::vector<std::uint8_t> part = port().read(4096, end - kernel().now());
        port_state().received.append(part.begin(), part.end());
    } while (kernel().now() < end);
    std::string got;
    got.swap(port_state().received);
    return "read " + quoted(got);
}

std::string Runner::expect_word(const Words& w) {
    args(w, 1, 2);
    return expect_port(w[1], timeout_at(w, 2));
}

std::string Runner::expect_modem_word(const Words& w) {
    need(w.size() >= 3 && w.size() % 2 == 1, "expect-modem takes pairs of a line (cts, dsr, dcd, ri) and on or off");
    std::string seen;
    for (std::size_t i = 1; i < w.size(); i += 2) {
        auto on = on_off(w[i + 1]);
        need(on.has_value(), "expect-modem: " + w[i] + " takes on or off");
        bool level;
        if (w[i] == "cts") {
            level = port().cts();
        } else if (w[i] == "dsr") {
            level = port().dsr();
        } else if (w[i] == "dcd") {
            level = port().dcd();
        } else {
            need(w[i] == "ri", "expect-modem: no line " + w[i]);
            level = port().ring();
        }
        hold(level == *on, w[i] + " is " + (level ? "on" : "off"));
        seen += " " + w[i] + " " + w[i + 1];
    }
    return "modem status" + seen;
}

std::string Runner::expect_event_word(const Words& w) {
    args(w, 1, 1);
    using Events = sim::Serport::LineEvents;
    static const std::pair<std::string_view, std::uint64_t Events::*> kKinds[] = {
        {"break", &Events::breaks}, {"framing", &Events::framing}, {"parity", &Events::parity},
        {"overrun", &Events::overruns}, {"cts", &Events::cts}, {"dsr", &Events::dsr},
        {"dcd", &Events::dcd}, {"ri", &Events::rings}};
    const Events& now = port().line_events();
    Events& seen = port_state().events_seen;
    std::uint64_t Events::*field = nullptr;
    for (const auto& [name, member] : kKinds) {
        if (w[1] == name) field = member;
    }
    need(field != nullptr, "expect-event takes break, framing, parity, overrun, cts, dsr, dcd or ri");
    hold(now.*field > seen.*field, "no " + w[1] + " reported since the last look");
    const std::uint64_t count = now.*field - seen.*field;
    seen.*field = now.*field;
    return std::to_string(count) + " " + w[1] + " report" + (count == 1 ? "" : "s");
}

std::string Runner::wait_word(const Words& w) {
    args(w, 1, 1);
    kernel().run_for(time_word(w[1]));
    return "waited";
}

std::string Runner::pcap_word(const Words& w) {
    args(w, 1, 1);
    std::string error;
    need(host::write_pcap(w[1], m_world->bus().trace(), m_world->bus().snapshots(), &error),
         "cannot write the capture: " + error);
    // The capture is the bus's, as a capture of the root hub is: every
    // adapter's traffic, each at its address.
    if (m_world->adapters() == 1 || !adapter().plugged()) return "capture written to " + w[1];
    return "capture of the bus written to " + w[1] + ", adapter " + std::to_string(m_selected) + " at address " +
           std::to_string(m_world->bus().address(adapter().pdo()));
}

std::string Runner::peer_send_word(const Words& w) {
    need(w.size() == 3, "peer send takes a text");
    peer().send(std::vector<std::uint8_t>(w[2].begin(), w[2].end()));
    return "the peer sends " + std::to_string(w[2].size()) + " bytes";
}

std::string Runner::peer_expect_word(const Words& w) {
    need(w.size() == 3 || w.size() == 4, "peer expect takes a text and a time-out");
    return expect_peer(w[2], timeout_at(w, 3));
}

std::string Runner::peer_read_word(const Words& w) {
    need(w.size() <= 3, "peer read takes a time");
    kernel().run_for(timeout_at(w, 2));
    const std::vector<std::uint8_t>& all = peer().received();
    const std::string got(all.begin() + static_cast<std::ptrdiff_t>(station().peer_matched), all.end());
    station().peer_matched = all.size();
    return "the peer read " + quoted(got);
}

std::string Runner::peer_lines_word(const Words& w) {
    need(w.size() >= 4 && w.size() % 2 == 0, "peer lines takes pairs of a line (cts, dsr, dcd, ri) and on or off");
    sim::ModemInputs inputs = peer().lines();
    for (std::size_t i = 2; i < w.size(); i += 2) {
        auto on = on_off(w[i + 1]);
        need(on.has_value(), "peer lines: " + w[i] + " takes on or off");
        bool* line = w[i] == "cts" ? &inputs.cts : w[i] == "dsr" ? &inputs.dsr : w[i] == "dcd" ? &inputs.dcd
                     : w[i] == "ri"                            ? &inputs.ring
                                                               : nullptr;
        need(line != nullptr, "peer lines: no line " + w[i]);
        *line = *on;
    }
    peer().set_lines(inputs);
    return "the peer drives cts " + std::string(inputs.cts ? "on" : "off") + ", dsr " +
           (inputs.dsr ? "on" : "off") + ", dcd " + (inputs.dcd ? "on" : "off") + ", ri " +
           (inputs.ring ? "on" : "off");
}

std::string Runner::peer_expect_line_word(const Words& w) {
    need(w.size() == 4 && (w[2] == "dtr" || w[2] == "rts" || w[2] == "aux"), "peer expect-line takes dtr, rts or aux and on or off");
    auto on = on_off(w[3]);
    need(on.has_value(), "peer expect-line takes on or off");
    const sim::LineLevels& now = peer().history().back();
    const bool level = w[2] == "dtr" ? now.dtr : w[2] == "rts" ? now.rts : now.aux;
    hold(level == *on, "the peer sees " + w[2] + " " + (level ? "on" : "off"));
    return "the peer sees " + w[2] + " " + w[3];
}

std::string Runner::peer_expect_break_word(const Words& w) {
    need(w.size() <= 3, "peer expect-break takes at most a least length");
    const Time least = w.size() == 3 ? time_word(w[2]) : 0;
    Time longest = 0;
    Time start = -1;
    for (const sim::LineLevels& l : peer().history()) {
        if (l.brk && start < 0) start = l.at;
        if (!l.brk && start >= 0) {
            longest = std::max(longest, l.at - start);
            start = -1;
        }
    }
    if (start >= 0) longest = std::max(longest, kernel().now() - start);
    hold(longest > 0 && longest >= least, "the peer saw no break that long");
    char text[64];
    std::snprintf(text, sizeof text, "the peer saw a break of %.3f ms", static_cast<double>(longest) / kMillisecond);
    return text;
}

std::string Runner::peer_framing_word(const Words& w) {
    need(w.size() == 3 || w.size() == 4, "peer framing takes follow, or a rate and a framing");
    if (w[2] == "follow") {
        peer().set_framing(std::nullopt);
        return "the peer follows the port's framing";
    }
    auto rate = unsigned_number(w[2]);
    need(rate && *rate > 0 && *rate <= 0xFFFFFFFFu && w.size() == 4, "peer framing takes a rate and a framing");
    auto line = framing(w[3], static_cast<ULONG>(*rate));
    need(line.has_value(), "peer framing: not a framing: " + w[3]);
    peer().set_framing(sim::Framing{line->baud, line->data_bits, line->parity, line->stop_bits});
    return "the peer runs at " + w[2] + " " + w[3];
}

std::string Runner::peer_flow_word(const Words& w) {
    need(w.size() == 3 && (w[2] == "none" || w[2] == "hardware" || w[2] == "xon"), "peer flow takes none, hardware or xon");
    peer().set_flow_control({.hardware = w[2] == "hardware", .xon_xoff = w[2] == "xon"});
    return "the peer's flow control is " + w[2];
}

std::string Runner::peer_expect_errors_word(const Words& w) {
    need(w.size() == 2, "peer expect-errors takes nothing");
    const std::size_t now = peer().errors().size();
    std::size_t& seen = station().peer_errors_seen;
    hold(now > seen, "the peer saw no receive error since the last look");
    const std::size_t count = now - seen;
    seen = now;
    return "the peer saw " + std::to_string(count) + " receive error" + (count == 1 ? "" : "s");
}

std::string Runner::seed_word(const Words& w) {
    auto seed = unsigned_number(w[1]);
    need(seed.has_value(), "seed takes a number");
    if (!m_run.seed) m_options.seed = *seed;
    return {};
}

std::string Runner::chip_word(const Words& w) {
    if (w[1] == "comm") {
        m_options.chip = sim::ChipKind::Comm;
    } else if (w[1] == "vendor") {
        m_options.chip = sim::ChipKind::Vendor;
    } else {
        need(w[1] == "extended", "chip takes comm, vendor or extended");
        m_options.chip = sim::ChipKind::Extended;
    }
    return {};
}

std::string Runner::interfaces_word(const Words& w) {
    need(w[1] == "1" || w[1] == "2", "interfaces takes 1 or 2");
    m_options.interfaces = w[1][0] - '0';
    return {};
}

std::string Runner::strategy_word(const Words& w) {
    need(w[1] == "random" || w[1] == "pct", "strategy takes random or pct");
    if (!m_run.strategy) m_options.strategy = w[1] == "pct" ? host::Strategy::Pct : host::Strategy::Random;
    return {};
}

std::string Runner::port_power_word(const Words& w) {
    need(w[1] == "cut" || w[1] == "kept", "port-power takes cut or kept");
    m_options.bus.cut_power_in_sleep = w[1] == "cut";
    return {};
}

std::string Runner::platform_word(const Words& w) {
    need(w[1] == "98se" || w[1] == "me", "platform takes 98se or me");
    m_options.platform = w[1] == "me" ? host::Platform::WinMe : host::Platform::Win98SE;
    return {};
}

std::string Runner::spurious_waits_word(const Words& w) {
    auto n = unsigned_number(w[1]);
    need(n.has_value(), "spurious-waits takes a number (one wait in so many; 0 for none)");
    m_options.spurious_waits = *n;
    return {};
}

std::string Runner::jitter_word(const Words& w) {
    auto frames = unsigned_number(w[1]);
    need(frames.has_value() && *frames <= 8, "jitter takes a number of frames from 0 to 8");
    m_options.bus.jitter_frames = static_cast<int>(*frames);
    return {};
}

std::string Runner::controller_word(const Words& w) {
    need(w[1] == "uhci" || w[1] == "ohci", "controller takes uhci or ohci");
    m_options.bus.controller = w[1] == "ohci" ? host::Controller::Ohci : host::Controller::Uhci;
    return {};
}

std::string Runner::line_word(const Words& w) {
    need(w[1] == "loopback" || w[1] == "peer", "line takes loopback or peer");
    m_options.line = w[1] == "peer" ? sim::LineKind::Peer : sim::LineKind::Loopback;
    return {};
}

std::string Runner::adapters_word(const Words& w) {
    auto n = unsigned_number(w[1]);
    need(n && *n >= 1 && *n <= sim::kMostAdapters,
         "adapters takes a number from 1 to " + std::to_string(sim::kMostAdapters));
    m_options.adapters = static_cast<int>(*n);
    return {};
}

std::string Runner::select_word(const Words& w) {
    args(w, 1, 1);
    auto k = unsigned_number(w[1]);
    need(k && *k >= 1 && *k <= static_cast<std::uint64_t>(m_world->adapters()),
         "adapter takes a number from 1 to " + std::to_string(m_world->adapters()));
    m_selected = static_cast<int>(*k);
    return adapter().fdo() != nullptr ? "COM" + std::to_string(adapter().port()) : "no device";
}

std::string Runner::port_name_word(const Words& w) {
    args(w, 1, 1);
    need(w[1].size() < 64, "port-name takes a name of at most 63 characters");
    plugged_in(true);
    const PUSB2SER_EXTENSION ext = adapter().extension();
    const host::ConfigManager::Node* node = ext != nullptr ? kernel().configmg().node(ext->DevNode) : nullptr;
    need(node != nullptr, "the adapter's port has no device node: its device has not started");
    kernel().configmg().assign_port_name(node->id, w[1]);
    return "\"PORTNAME\" = " + quoted(w[1]) + " for " + node->id + ", read at the device's next start";
}

void Runner::build_world() {
    if (m_run.seed) m_options.seed = *m_run.seed;
    if (m_run.strategy) m_options.strategy = *m_run.strategy;
    if (m_run.interfaces) m_options.interfaces = *m_run.interfaces;
    if (m_run.controller) m_options.bus.controller = *m_run.controller;
    m_options.fault = m_run.fault;
    m_options.fault_unplugs = m_run.unplug;
    m_options.image = m_run.image;
    const int adapters = m_options.adapters;
    for (int k = 1; k <= adapters && !m_run.vcd.empty(); ++k) {
        std::string error;
        m_vcds.push_back(std::make_unique<sim::VcdWriter>());
        need(m_vcds.back()->open(adapter_path(m_run.vcd, k, adapters), &error), error);
    }
    m_world = std::make_unique<sim::World>(m_options);
    m_stations.assign(static_cast<std::size_t>(adapters), Station{});
    for (std::size_t k = 0; k < m_vcds.size(); ++k) {
        m_world->adapter(static_cast<int>(k + 1)).chip().set_probe(m_vcds[k].get());
    }
    std::string ports;
    int failed = 0;  // the first adapter whose device did not start
    for (m_selected = 1; m_selected <= adapters; ++m_selected) {
        station().started = NT_SUCCESS(adapter().start());
        if (!station().started && failed == 0) failed = m_selected;
        port_state();
        ports += (ports.empty() ? "COM" : ", COM") + std::to_string(port_number(adapter()));
    }
    m_selected = 1;
    hold(failed == 0, adapters == 1 ? "the device did not start"
                                    : "adapter " + std::to_string(failed) + "'s device did not start");
    static const char* const kinds[] = {"comm", "vendor", "extended"};
    std::fprintf(m_out, "[%12.3f ms] world: %s, seed %llu, chip %s, %d interface%s, %s; %s %s\n", 0.0,
                 m_options.platform == host::Platform::WinMe ? "Windows Me" : "Windows 98 SE",
                 static_cast<unsigned long long>(m_options.seed), kinds[static_cast<int>(m_options.chip)],
                 m_options.interfaces, m_options.interfaces == 1 ? "" : "s",
                 m_options.line == sim::LineKind::Peer ? "a peer on the line" : "a loopback plug on the line",
                 adapters == 1 ? "the device started as"
                               : (std::to_string(adapters) + " adapters, their devices started as").c_str(),
                 ports.c_str());
}

std::string Runner::expect_port(const std::string& text, Time timeout) {
    const Time end = kernel().now() + timeout;
    std::string& received = port_state().received;
    while (received.size() < text.size() && kernel().now() < end) {
        std::vector<std::uint8_t> part = port().read(text.size() - received.size(), end - kernel().now());
        received.append(part.begin(), part.end());
    }
    const std::string got = received.substr(0, text.size());
    hold(got == text, "expected " + quoted(text) + ", got " + quoted(got));
    received.erase(0, text.size());
    return "received " + quoted(text);
}

std::string Runner::expect_peer(const std::string& text, Time timeout) {
    const Time end = kernel().now() + timeout;
    std::size_t& matched = station().peer_matched;
    auto arrived = [&] { return peer().received().size() - matched; };
    while (arrived() < text.size() && kernel().now() < end) kernel().run_for(kMillisecond);
    const std::vector<std::uint8_t>& all = peer().received();
    const std::size_t n = std::min(text.size(), arrived());
    const std::string got(all.begin() + static_cast<std::ptrdiff_t>(matched),
                          all.begin() + static_cast<std::ptrdiff_t>(matched + n));
    hold(got == text, "the peer expected " + quoted(text) + ", got " + quoted(got));
    matched += n;
    return "the peer received " + quoted(text);
}

// The adapter's life through the Plug and Play manager. After a plug the
// port driver works the port under the number the device was given.
std::string Runner::pnp_command(const std::string& c) {
    if (c == "stop" || c == "start") {
        plugged_in(true);
        // The Plug and Play manager stops only a started device and starts
        // only one that is not (a fault may have left it either way).
        hold(station().started == (c == "stop"), c == "stop" ? "the device is not started" : "the device is started");
        const NTSTATUS status = c == "stop" ? adapter().stop() : adapter().start();
        if (NT_SUCCESS(status)) station().started = c == "start";
        return status_text(status);
    }
    std::string out;
    if (c == "unplug" || c == "replug") {
        plugged_in(true);
        const sim::Serport& told = port();
        const std::uint64_t notices = told.cable_removals();
        const NTSTATUS removed = adapter().unplug();
        station().started = false;
        out = "unplugged: " + status_text(removed) +
              (told.cable_removals() > notices ? ", the port driver was told" : ", the port driver was not told");
        if (c == "unplug") return out;
        out += "; ";
    } else {
        plugged_in(false);
    }
    NTSTATUS started = adapter().plug();
    station().started = NT_SUCCESS(started);
    port_state();
    return out + "plugged in and started: " + status_text(started) + ", COM" + std::to_string(port_number(adapter()));
}

int Runner::execute(const std::vector<Line>& lines) {
    const Line* current = nullptr;
    try {
        for (const Line& line : lines) {
            current = &line;
            const Word* word = Runner::find(line.words);
            if (word != nullptr && word->group == Group::World) {
                need(m_world == nullptr, "\"" + line.words[0] + "\" sets up the world: it comes before the first other command");
                setup(line);
                continue;
            }
            run_line(line);
        }
        current = nullptr;
        if (m_world == nullptr) build_world();
    } catch (const Stop& stop) {
        const std::string where = m_run.path + ":" + std::to_string(current ? current->number : 0);
        if (!stop.failed_expectation) {
            std::fprintf(m_out, "%s: %s\n", where.c_str(), stop.reason.c_str());
            return 2;
        }
        std::fprintf(m_out, "FAILED %s: %s\n  %s\n  seed %llu; replay: %s\n", where.c_str(),
                     current ? current->text.c_str() : "the world's start", stop.reason.c_str(),
                     static_cast<unsigned long long>(m_options.seed), replay().c_str());
        m_ports.clear();
        if (m_world) {
            const Time end = kernel().now();
            m_world->teardown();
            finish_vcd(end);
        }
        return 1;
    }
    int result = 0;
    if (m_run.fault != 0) {
        const std::string& failed = kernel().faults().failed();
        std::fprintf(m_out, "[%12.3f ms] fault point: %s\n", static_cast<double>(kernel().now()) / kMillisecond,
                     failed.empty() ? ("point " + std::to_string(m_run.fault) + " was not reached").c_str()
                                    : failed.c_str());
        // The check is no part of the scenario: its requests are no fault
        // points, so that the points of the teardown keep their numbers.
        kernel().faults().set_paused(true);
        const std::string problem = check_after_fault();
        kernel().faults().set_paused(false);
        if (problem.empty()) {
            std::fprintf(m_out, "[%12.3f ms] after the fault: the port carries data both ways\n",
                         static_cast<double>(kernel().now()) / kMillisecond);
        } else {
            std::fprintf(m_out, "FAILED after the fault: %s\n  seed %llu; replay: %s\n", problem.c_str(),
                         static_cast<unsigned long long>(m_options.seed), replay().c_str());
            result = 1;
        }
    }
    m_ports.clear();
    const Time end = kernel().now();
    const std::string left = m_world->teardown();
    if (!finish_vcd(end)) result = 1;
    if (m_run.fault_points != nullptr) *m_run.fault_points = m_world->fault_points();
    if (!left.empty()) {
        std::fprintf(m_out, "the world left this behind:\n%s", left.c_str());
        return 1;
    }
    std::fprintf(m_out, "%s, driver unloaded, nothing left behind (trace digest %016llx)\n",
                 m_world->adapters() == 1 ? "device removed" : "devices removed",
                 static_cast<unsigned long long>(m_world->digest()));
    return result;
}

// The waveform ends at `end`, or with the teardown's last change after it.
bool Runner::finish_vcd(Time end) {
    if (m_run.vcd.empty()) return true;
    bool written = true;
    for (std::size_t k = 0; k < m_vcds.size(); ++k) {
        const std::string path = adapter_path(m_run.vcd, static_cast<int>(k + 1), static_cast<int>(m_vcds.size()));
        std::string error;
        if (m_vcds[k]->close(end, &error)) {
            std::fprintf(m_out, "waveform written to %s\n", path.c_str());
        } else {
            std::fprintf(m_out, "torvex: %s\n", error.c_str());
            written = false;
        }
    }
    return written;
}

// One command; with a fault, an expectation that fails is reported and the
// run goes on.
void Runner::run_line(const Line& line) {
    try {
        finish_pull_out();
        if (m_world == nullptr) {
            build_world();  // the adapter is plugged in and started here
            if (line.words[0] == "plug") return;
        }
        const Word* word = find(line.words);
        const std::string who = word != nullptr && word->handler == &Runner::select_word ? "" : whose();
        std::string result = command(line.words);
        std::fprintf(m_out, "[%12.3f ms] %s%s: %s\n", static_cast<double>(kernel().now()) / kMillisecond,
                     who.c_str(), line.text.c_str(), result.c_str());
    } catch (const Stop& stop) {
        if (m_run.fault == 0 || !stop.failed_expectation || m_world == nullptr) throw;
        std::fprintf(m_out, "[%12.3f ms] %s%s: did not hold with the fault: %s\n",
                     static_cast<double>(kernel().now()) / kMillisecond, whose().c_str(), line.text.c_str(),
                     stop.reason.c_str());
    }
}

// An adapter the fault pulled out gets its removal before the next command,
// as the hub reports it and the Plug and Play manager removes the device.
void Runner::finish_pull_out() {
    if (m_world == nullptr) return;
    for (int k = 1; k <= m_world->adapters(); ++k) {
        sim::Adapter& pulled = m_world->adapter(k);
        if (!pulled.plugged()) continue;
        const sim::Serport& told = *port_under(port_number(pulled)).serport;
        const std::uint64_t notices = told.cable_removals();
        if (!pulled.finish_pull_out()) continue;
        m_stations[static_cast<std::size_t>(k - 1)].started = false;
        std::fprintf(m_out, "[%12.3f ms] %s was pulled out: %s\n", static_cast<double>(kernel().now()) / kMillisecond,
                     m_world->adapters() == 1 ? "the adapter" : ("adapter " + std::to_string(k)).c_str(),
                     told.cable_removals() > notices ? "the port driver was told" : "the port driver was not told");
    }
}

// The command that replays this run.
std::string Runner::replay() const {
    std::string command = "torvex run " + m_run.path + " --seed " + std::to_string(m_options.seed);
    if (m_options.strategy == host::Strategy::Pct) command += " --strategy pct";
    if (m_run.interfaces) command += " --interfaces " + std::to_string(*m_run.interfaces);
    if (m_options.bus.controller == host::Controller::Ohci) command += " --controller ohci";
    if (m_run.fault != 0) command += " --fault " + std::to_string(m_run.fault);
    if (m_run.unplug) command += " --unplug";
    if (!m_run.image.empty()) command += " --image " + m_run.image;
    return command;
}

// After a fault the port must carry data both ways again: the adapter goes
// back in if it is out, or out and in again if its AddDevice, its start or a
// wake failed (as a user would do with a device that shows an error); the port opens at 115,200
// 8N1 without a break or flow control, and a text goes out and one comes back (through
// the loopback plug the same one). "" when it does; what went wrong if not.
std::string Runner::check_after_fault() {
    finish_pull_out();
    std::string problem;
    for (m_selected = 1; m_selected <= m_world->adapters() && problem.empty(); ++m_selected) {
        problem = check_adapter_after_fault();
        if (!problem.empty()) problem = whose() + problem;
    }
    m_selected = 1;
    return problem;
}

std::string Runner::check_adapter_after_fault() {
    if (adapter().plugged() && (!station().started || adapter().fdo() == nullptr)) adapter().unplug();
    if (!adapter().plugged()) {
        const NTSTATUS started = adapter().plug();
        if (!NT_SUCCESS(started)) return "the adapter put back in does not start: " + status_text(started);
    }
    station().started = true;
    m_ports.erase(port_number(adapter()));
    sim::Serport& p = port();
    if (!p.open()) return "the port does not open";
    p.set_break(false);
    p.set_hardware_flow(false);
    p.set_xon_xoff(false);
    if (!p.set_line({.baud = 115'200, .data_bits = 8, .parity = 0, .stop_bits = 0})) return "the line cannot be set";
    const bool far = m_options.line == sim::LineKind::Peer;
    if (far) {
        peer().set_framing(std::nullopt);
        peer().set_flow_control({});
        peer().set_lines({.dsr = true, .cts = true});
    }
    // What the scenario left on its way (a far end still sending what flow
    // control held back) is read until the line has been quiet for a while.
    kernel().run_for(50 * kMillisecond);
    while (!p.read(4096, 20 * kMillisecond).empty()) {
    }
    const std::string out = "the port after the fault";
    const std::string in = far ? "and the far end" : out;
    const std::size_t seen = far ? peer().received().size() : 0;
    p.write(std::span(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()));
    if (far) peer().send(std::vector<std::uint8_t>(in.begin(), in.end()));
    // Two seconds for the text, however many pieces it comes in (a byte at a
    // time, as the line brings it).
    std::string got;
    const Time end = kernel().now() + 2 * host::kSecond;
    while (got.size() < in.size() && kernel().now() < end) {
        std::vector<std::uint8_t> part = p.read(in.size() - got.size(), end - kernel().now());
        got.append(part.begin(), part.end());
    }
    if (got != in) return "the port received " + quoted(got) + ", not " + quoted(in);
    if (far) {
        kernel().run_for(20 * kMillisecond);
        const std::vector<std::uint8_t>& all = peer().received();
        const std::string sent(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
        if (sent != out) return "the far end received " + quoted(sent) + ", not " + quoted(out);
    }
    if (!p.close()) return "the port does not close";
    return "";
}

}  // namespace

std::string script_help() {
    std::string out = "scenario scripts, one command a line, '#' starts a comment (docs/SCRIPTS.md):\n";
    constexpr std::size_t kColumn = 34;  // where the help starts
    for (std::size_t group = 0; group < std::size(kGroupTitles); ++group) {
        out += "  " + std::string(kGroupTitles[group]) + ":\n";
        for (const Word& word : Runner::kWords) {
            if (static_cast<std::size_t>(word.group) != group) continue;
            std::string usage = "    " + std::string(word.name) + (*word.arguments ? " " : "") + word.arguments;
            usage += usage.size() < kColumn ? std::string(kColumn - usage.size(), ' ') : "\n" + std::string(kColumn, ' ');
            out += usage + word.help + "\n";
        }
    }
    return out + "  TIME: 500us, 20ms, 2s; a plain number is ms (default 1s where it may be left out)\n"
                 "  a text is \"quoted\", with \\n \\r \\t \\xHH; \"quoted\"*N is it N times over\n";
}

bool read_script(const std::string& path, std::string* text, std::string* error) {
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text->append(buffer, n);
    if (file != stdin) std::fclose(file);
    return true;
}

int run_script(const std::string& text, const ScriptRun& run, std::FILE* out) {
    std::vector<Line> lines;
    std::istringstream in(text);
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        std::string error;
        auto words = split(raw, &error);
        if (!words) {
            std::fprintf(out, "%s:%d: %s\n", run.path.c_str(), number, error.c_str());
            return 2;
        }
        if (words->empty()) continue;
        lines.push_back(Line{number, shown(*words), std::move(*words)});
    }
    Runner runner(run, out);
    return runner.execute(lines);
}

}  // namespace tool
