#include "BenchHarness.h"

#include "talvex05u/platform/Event.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sched.h>
#include <sstream>

namespace bench {

double MicrosSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

Summary Summarise(std::vector<double> micros, std::size_t failures) {
    Summary summary;
    summary.failures = failures;
    summary.samples = micros.size();
    if (micros.empty()) return summary;
    std::sort(micros.begin(), micros.end());
    summary.median = micros[micros.size() / 2];
    const auto p99Index = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(micros.size()))) - 1;
    summary.p99 = micros[std::min(p99Index, micros.size() - 1)];
    return summary;
}

double CaseResult::Ratio() const {
    if (referenceSummary.median <= 0) return 0;
    return measured.median / referenceSummary.median;
}

double CaseResult::MegabytesPerSecond(const Summary& summary) const {
    if (bytesPerTrial <= 0 || summary.median <= 0) return 0;
    return bytesPerTrial / summary.median;   // bytes per microsecond = MB/s
}

bool CaseResult::GoalMet() const {
    return !goal || (skipped.empty() && measured.samples > 0 && Ratio() <= goal->maxRatio);
}

// ---- one CPU for every thread -----------------------------------------------------------

namespace {

std::optional<int> g_pinnedCpu;

// "0-1", "0,2-3": the CPUs of `set`.
std::string CpuListOf(const cpu_set_t& set) {
    std::string text;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &set)) continue;
        int last = cpu;
        while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &set)) ++last;
        if (!text.empty()) text += ',';
        text += std::to_string(cpu);
        if (last > cpu) text += '-' + std::to_string(last);
        cpu = last;
    }
    return text;
}

}  // namespace

bool PinToCpu(int cpu, std::string* why) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        *why = std::string("--pin: the CPUs of this process are unknown: ") + std::strerror(errno);
        return false;
    }
    if (cpu < 0 || cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &allowed)) {
        *why = "--pin: this machine has no CPU " + std::to_string(cpu) + " for this process (it may use " +
               CpuListOf(allowed) + ")";
        return false;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    // pid 0: the calling thread; the threads it starts and the processes it runs inherit the set.
    if (::sched_setaffinity(0, sizeof one, &one) != 0) {
        *why = "--pin: cannot put this process on CPU " + std::to_string(cpu) + ": " + std::strerror(errno);
        return false;
    }
    g_pinnedCpu = cpu;
    return true;
}

std::optional<int> PinnedCpu() { return g_pinnedCpu; }

std::vector<std::string> SecondProcessArguments() {
    std::vector<std::string> args = {"--socket-spin", std::to_string(talvex::GetSocketSpinMicroseconds())};
    if (g_pinnedCpu) args.insert(args.end(), {"--pin", std::to_string(*g_pinnedCpu)});
    return args;
}

// ---- progress ------------------------------------------------------------------------

Progress::~Progress() { Finish(); }

void Progress::BeginCase(const std::string& name) {
    ++m_caseIndex;
    m_name = name;
    m_lastDraw = {};
    if (m_toTerminal) {
        Draw(0);
    } else if (m_caseCount > 0) {   // a log file gets one plain line per case, no control codes
        std::fprintf(stderr, "[bench %d/%d] %s\n", m_caseIndex, m_caseCount, m_name.c_str());
        std::fflush(stderr);
    }
}

void Progress::Advance(double fraction) {
    if (!m_toTerminal || Clock::now() - m_lastDraw < std::chrono::milliseconds(100)) return;
    Draw(fraction);
}

void Progress::Draw(double fraction) {
    if (m_caseCount <= 0) return;   // a silent progress (a child process's)
    m_lastDraw = Clock::now();
    m_drawn = true;
    std::fprintf(stderr, "\r\033[K[bench %d/%d] %-44s %3d%%", m_caseIndex, m_caseCount, m_name.c_str(),
                 static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100));
    std::fflush(stderr);
}

void Progress::Finish() {
    if (!m_drawn) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    m_drawn = false;
}

// ---- interleaved trials -------------------------------------------------------------

namespace {

// Runs `count` trials of `trial`, appending the successful ones to `samples`.
void RunTrials(const Trial& trial, int count, std::vector<double>* samples, std::size_t* failures) {
    for (int i = 0; i < count; ++i) {
        const std::optional<double> micros = trial();
        if (micros) {
            if (samples) samples->push_back(*micros);
        } else if (failures) {
            ++*failures;
        }
    }
}

}  // namespace

void MeasureInterleaved(const Trial& measured, const Trial& reference, const TrialPlan& plan, Progress& progress,
                        Summary* measuredSummary, Summary* referenceSummary) {
    RunTrials(measured, plan.warmUp, nullptr, nullptr);
    RunTrials(reference, plan.warmUp, nullptr, nullptr);
    std::vector<double> measuredSamples;
    std::vector<double> referenceSamples;
    std::size_t measuredFailures = 0;
    std::size_t referenceFailures = 0;
    const auto start = Clock::now();
    for (int round = 0; round < plan.rounds && Clock::now() - start < plan.budget; ++round) {
        // Alternate which side goes first, so neither always follows the other's traffic.
        if (round % 2 == 0) {
            RunTrials(measured, plan.perRound, &measuredSamples, &measuredFailures);
            RunTrials(reference, plan.perRound, &referenceSamples, &referenceFailures);
        } else {
            RunTrials(reference, plan.perRound, &referenceSamples, &referenceFailures);
            RunTrials(measured, plan.perRound, &measuredSamples, &measuredFailures);
        }
        progress.Advance(static_cast<double>(round + 1) / plan.rounds);
    }
    *measuredSummary = Summarise(std::move(measuredSamples), measuredFailures);
    *referenceSummary = Summarise(std::move(referenceSamples), referenceFailures);
}

// ---- outputs --------------------------------------------------------------------------

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

namespace {

std::string GoalColumn(const CaseResult& result) {
    if (!result.goal) return "";
    return (result.GoalMet() ? "met: " : "MISSED: ") + result.goal->text;
}

}  // namespace

std::string JsonEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            out += ' ';
            continue;
        }
        out += c;
    }
    return out;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

void PrintTable(const std::vector<CaseResult>& results, std::FILE* out) {
    std::fprintf(out, "%-44s %10s %10s %9s | %-42s %10s %10s %9s | %6s  %s\n", "case", "median us", "p99 us", "MB/s",
                 "reference", "median us", "p99 us", "MB/s", "ratio", "goal");
    for (const auto& r : results) {
        if (!r.skipped.empty()) {
            std::fprintf(out, "%-44s skipped: %s\n", r.name.c_str(), r.skipped.c_str());
            continue;
        }
        const std::string mb = r.bytesPerTrial > 0 ? Fixed(r.MegabytesPerSecond(r.measured), 1) : "";
        const std::string refMb = r.bytesPerTrial > 0 ? Fixed(r.MegabytesPerSecond(r.referenceSummary), 1) : "";
        std::fprintf(out, "%-44s %10.1f %10.1f %9s | %-42s %10.1f %10.1f %9s | %6.2f  %s\n", r.name.c_str(),
                     r.measured.median, r.measured.p99, mb.c_str(), r.reference.c_str(), r.referenceSummary.median,
                     r.referenceSummary.p99, refMb.c_str(), r.Ratio(), GoalColumn(r).c_str());
        if (r.measured.failures + r.referenceSummary.failures > 0)
            std::fprintf(out, "%-44s   (failed trials: %zu of the case, %zu of the reference)\n", "",
                         r.measured.failures, r.referenceSummary.failures);
    }
    for (const auto& r : results)
        if (!r.note.empty()) std::fprintf(out, "note: %s: %s\n", r.name.c_str(), r.note.c_str());
}

bool WriteJson(const std::vector<CaseResult>& results, const std::string& path,
               const std::vector<std::string>& extraObjects) {
    std::ofstream file(path);
    file << "[\n";
    const std::size_t count = results.size() + extraObjects.size();
    for (std::size_t i = 0; i < results.size(); ++i) {
        const auto& r = results[i];
        file << "  {\"case\": \"" << JsonEscaped(r.name) << "\", ";
        if (!r.skipped.empty()) {
            file << "\"skipped\": \"" << JsonEscaped(r.skipped) << "\"}";
        } else {
            file << "\"median_us\": " << Fixed(r.measured.median, 3) << ", \"p99_us\": " << Fixed(r.measured.p99, 3)
                 << ", ";
            if (r.bytesPerTrial > 0) file << "\"mb_per_s\": " << Fixed(r.MegabytesPerSecond(r.measured), 3) << ", ";
            file << "\"reference\": \"" << JsonEscaped(r.reference)
                 << "\", \"reference_median_us\": " << Fixed(r.referenceSummary.median, 3)
                 << ", \"reference_p99_us\": " << Fixed(r.referenceSummary.p99, 3);
            if (r.bytesPerTrial > 0)
                file << ", \"reference_mb_per_s\": " << Fixed(r.MegabytesPerSecond(r.referenceSummary), 3);
            file << ", \"ratio\": " << Fixed(r.Ratio(), 4) << ", \"samples\": " << r.measured.samples
                 << ", \"failures\": " << r.measured.failures;
            if (r.goal)
                file << ", \"goal\": \"" << JsonEscaped(r.goal->text)
                     << "\", \"goal_met\": " << (r.GoalMet() ? "true" : "false");
            file << "}";
        }
        file << (i + 1 < count ? ",\n" : "\n");
    }
    for (std::size_t i = 0; i < extraObjects.size(); ++i)
        file << "  " << extraObjects[i] << (results.size() + i + 1 < count ? ",\n" : "\n");
    file << "]\n";
    return static_cast<bool>(file);
}

bool WriteCsv(const std::vector<CaseResult>& results, const std::string& path) {
    std::ofstream file(path);
    file << "case,median_us,p99_us,mb_per_s,reference,reference_median_us,reference_p99_us,ratio,goal,goal_met,"
            "skipped\n";
    for (const auto& r : results) {
        file << CsvField(r.name) << ',';
        if (r.skipped.empty()) {
            file << Fixed(r.measured.median, 3) << ',' << Fixed(r.measured.p99, 3) << ','
                 << (r.bytesPerTrial > 0 ? Fixed(r.MegabytesPerSecond(r.measured), 3) : "") << ','
                 << CsvField(r.reference) << ',' << Fixed(r.referenceSummary.median, 3) << ','
                 << Fixed(r.referenceSummary.p99, 3) << ',' << Fixed(r.Ratio(), 4) << ','
                 << CsvField(r.goal ? r.goal->text : "") << ',' << (r.goal ? (r.GoalMet() ? "yes" : "no") : "")
                 << ",\n";
        } else {
            file << ",,,,,,,,," << CsvField(r.skipped) << '\n';
        }
    }
    return static_cast<bool>(file);
}

CaseResult PairedCase(const std::string& name, const std::string& reference, const Trial& measured,
                      const Trial& referenceTrial, const TrialPlan& plan, Progress& progress) {
    CaseResult result;
    result.name = name;
    result.reference = reference;
    progress.BeginCase(name);
    MeasureInterleaved(measured, referenceTrial, plan, progress, &result.measured, &result.referenceSummary);
    return result;
}

}  // namespace bench
