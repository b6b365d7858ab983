#include "tools/faults.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "tools/script.h"

namespace tool {

namespace {

struct Child {
    std::uint64_t point = 0;
    pid_t pid = -1;
    int output = -1;  // the read end of its standard output and error
    std::string text;
    std::chrono::steady_clock::time_point started;
    bool killed = false;
};

// The command's words: `head` (the program, the command and its own words),
// then the campaign's options, which every run and every slice shares.
std::vector<std::string> with_options(const FaultsRun& run, std::vector<std::string> a) {
    if (run.seed) a.insert(a.end(), {"--seed", std::to_string(*run.seed)});
    if (run.strategy == host::Strategy::Pct) a.insert(a.end(), {"--strategy", "pct"});
    if (run.interfaces) a.insert(a.end(), {"--interfaces", std::to_string(*run.interfaces)});
    if (run.controller == host::Controller::Ohci) a.insert(a.end(), {"--controller", "ohci"});
    if (run.unplug) a.push_back("--unplug");
    if (!run.image.empty()) a.insert(a.end(), {"--image", run.image});
    return a;
}

std::vector<std::string> arguments(const FaultsRun& run, std::uint64_t point) {
    return with_options(run, {run.self, "run", run.path, "--fault", std::to_string(point)});
}

// One run's end, for the JUnit report.
struct Outcome {
    std::string point;    // what the point is, from the run's own line; "" if never reached
    std::string finding;  // "" when the run ended clean
    std::string replay;
    double seconds = 0;
};

std::string xml_escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            // XML 1.0 has no place for the other control characters.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
                out += '?';
            } else {
                out += c;
            }
        }
    }
    return out;
}

// The slice's runs as one JUnit test suite, one test case a point, a finding
// its failure. Each suite stands on its own line pair, so that the files of
// several slices merge by taking their <testsuite> elements into one
// <testsuites>.
bool write_junit(const FaultsRun& run, const std::string& campaign, const std::map<std::uint64_t, Outcome>& outcomes,
                 std::FILE* out) {
    std::FILE* file = std::fopen(run.junit.c_str(), "w");
    if (file == nullptr) {
        std::fprintf(out, "torvex: cannot write %s: %s\n", run.junit.c_str(), std::strerror(errno));
        return false;
    }
    std::size_t failures = 0;
    double seconds = 0;
    for (const auto& [point, o] : outcomes) {
        failures += !o.finding.empty();
        seconds += o.seconds;
    }
    std::fprintf(file, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n");
    std::fprintf(file, "<testsuite name=\"%s (slice %u of %u)\" tests=\"%zu\" failures=\"%zu\" errors=\"0\" time=\"%.3f\">\n",
                 xml_escaped(campaign).c_str(), run.shard, run.shards, outcomes.size(), failures, seconds);
    for (const auto& [point, o] : outcomes) {
        std::string name = "fault " + std::to_string(point);
        if (!o.point.empty()) name += " (" + o.point + ")";
        std::fprintf(file, "  <testcase classname=\"%s\" name=\"%s\" time=\"%.3f\"", xml_escaped(campaign).c_str(),
                     xml_escaped(name).c_str(), o.seconds);
        if (o.finding.empty()) {
            std::fprintf(file, "/>\n");
        } else {
            std::fprintf(file, ">\n    <failure message=\"%s\">replay: %s</failure>\n  </testcase>\n",
                         xml_escaped(o.finding).c_str(), xml_escaped(o.replay).c_str());
        }
    }
    std::fprintf(file, "</testsuite>\n</testsuites>\n");
    const bool written = std::ferror(file) == 0;
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(out, "torvex: cannot write %s\n", run.junit.c_str());
        return false;
    }
    return true;
}

std::string command_line(const std::vector<std::string>& a) {
    std::string out = "torvex";
    for (std::size_t i = 1; i < a.size(); ++i) out += " " + a[i];
    return out;
}

bool start(const FaultsRun& run, Child& child) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const std::vector<std::string> a = arguments(run, child.point);
    child.pid = fork();
    if (child.pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (child.pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const std::string& s : a) argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        execv(run.self.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    child.output = fds[0];
    child.started = std::chrono::steady_clock::now();
    return true;
}

// The first line of `text` that holds `mark`, from the mark on.
std::string line_with(const std::string& text, const char* mark) {
    const std::size_t at = text.find(mark);
    if (at == std::string::npos) return {};
    const std::size_t end = text.find('\n', at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The line after the one that holds text[at].
std::string next_line(const std::string& text, std::size_t at) {
    const std::size_t next = text.find('\n', at);
    if (next == std::string::npos) return {};
    const std::size_t end = text.find('\n', next + 1);
    return text.substr(next + 1, end == std::string::npos ? std::string::npos : end - next - 1);
}

// What went wrong in a run; "" when it ended clean.
std::string finding(const Child& child, int status) {
    const std::string& text = child.text;
    if (child.killed) return "a hang: the run did not end in time";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
    if (const std::size_t at = text.find("*** BUG CHECK "); at != std::string::npos) {
        return "a bug check: " + line_with(text, "*** BUG CHECK ").substr(14) + ": " + next_line(text, at);
    }
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
        if (std::string report = line_with(text, mark); !report.empty()) return "a sanitizer report: " + report;
    }
    if (WIFSIGNALED(status)) return "a crash: signal " + std::to_string(WTERMSIG(status));
    const int code = WEXITSTATUS(status);
    if (code == 2) return "a script error: " + text.substr(text.rfind('\n', text.size() - 2) + 1);
    if (code != 1) return "an exit with status " + std::to_string(code);
    if (const std::size_t at = text.find("the world left this behind:"); at != std::string::npos) {
        return "left behind: " + next_line(text, at);
    }
    if (std::string port = line_with(text, "FAILED after the fault: "); !port.empty()) {
        return "the port afterwards: " + port.substr(24);
    }
    return "a failure: " + line_with(text, "FAILED");
}

}  // namespace

int faults_command(const FaultsRun& run, std::FILE* out) {
    std::string text;
    std::string error;
    if (!read_script(run.path, &text, &error)) {
        std::fprintf(out, "torvex: %s\n", error.c_str());
        return 2;
    }

    // The count: the scenario as it is, which must hold without a fault.
    std::uint64_t points = 0;
    std::FILE* quiet = std::fopen("/dev/null", "w");
    const int clean = run_script(text, ScriptRun{.path = run.path,
                                                        .seed = run.seed,
                                                        .strategy = run.strategy,
                                                        .interfaces = run.interfaces,
                                                        .controller = run.controller,
                                                        .fault_points = &points,
                                                        .image = run.image},
                                 quiet != nullptr ? quiet : out);
    if (quiet != nullptr) std::fclose(quiet);
    if (clean != 0) {
        std::fprintf(out, "%s does not run clean without a fault: see torvex run %s\n", run.path.c_str(),
                     run.path.c_str());
        return 2;
    }
    // The slice's points: the first is the slice's number, then every
    // shards-th point after it.
    const std::uint64_t first = run.shard;
    const std::uint64_t slice_points = points >= first ? (points - first) / run.shards + 1 : 0;
    std::fprintf(out, "%s: %llu fault points", run.path.c_str(), static_cast<unsigned long long>(points));
    if (run.shards > 1) {
        std::fprintf(out, "; slice %u of %u takes %llu of them", run.shard, run.shards,
                     static_cast<unsigned long long>(slice_points));
    }
    std::fprintf(out, "; running each %s, %u at a time\n",
                 run.unplug ? "with the adapter pulled out there" : "with its fault", run.jobs);
    std::fflush(out);

    // The campaign as its own command line: the same for every slice.
    const std::string campaign = command_line(with_options(run, {run.self, "faults", run.path}));

    std::map<std::uint64_t, Outcome> outcomes;
    std::deque<Child> running;
    std::uint64_t next = first;
    std::uint64_t clean_runs = 0;
    std::uint64_t findings = 0;
    while (next <= points || !running.empty()) {
        while (next <= points && running.size() < run.jobs) {
            Child child;
            child.point = next;
            next += run.shards;
            if (!start(run, child)) {
                const std::string why = std::string("the run could not be started: ") + std::strerror(errno);
                std::fprintf(out, "fault %llu: %s\n", static_cast<unsigned long long>(child.point), why.c_str());
                outcomes[child.point] = Outcome{{}, why, command_line(arguments(run, child.point)), 0};
                ++findings;
                continue;
            }
            running.push_back(std::move(child));
        }
        std::vector<pollfd> fds;
        for (const Child& c : running) fds.push_back(pollfd{c.output, POLLIN, 0});
        poll(fds.data(), fds.size(), 200);
        for (std::size_t i = 0; i < running.size();) {
            Child& c = running[i];
            bool ended = false;
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char chunk[4096];
                const ssize_t n = read(c.output, chunk, sizeof chunk);
                if (n > 0) c.text.append(chunk, static_cast<std::size_t>(n));
                ended = n == 0 || (n < 0 && errno != EINTR);
            }
            const bool late = std::chrono::steady_clock::now() - c.started > std::chrono::seconds(run.timeout_seconds);
            if (late && !c.killed) {
                kill(c.pid, SIGKILL);
                c.killed = true;
            }
            if (!ended) {
                ++i;
                continue;
            }
            // The pipe closed: the run has ended.
            close(c.output);
            int status = 0;
            waitpid(c.pid, &status, 0);
            const std::string found = finding(c, status);
            const std::string failed = line_with(c.text, "fault point: ");
            Outcome& outcome = outcomes[c.point];
            // The run's line reads "fault point: N what": what the point is.
            if (!failed.empty()) outcome.point = failed.substr(failed.find(' ', 13) + 1);
            outcome.finding = found;
            outcome.replay = command_line(arguments(run, c.point));
            outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - c.started).count();
            if (found.empty()) {
                ++clean_runs;
            } else {
                ++findings;
                std::fprintf(out, "fault %llu (%s): %s\n  replay: %s\n", static_cast<unsigned long long>(c.point),
                             failed.empty() ? "its end not reached" : failed.substr(13).c_str(), found.c_str(),
                             outcome.replay.c_str());
                std::fflush(out);
            }
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
            fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    std::fprintf(out, "%llu of %llu clean\n", static_cast<unsigned long long>(clean_runs),
                 static_cast<unsigned long long>(slice_points));
    if (!run.junit.empty() && !write_junit(run, campaign, outcomes, out)) return 2;
    return findings == 0 ? 0 : 1;
}

}  // namespace tool
