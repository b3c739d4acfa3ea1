#include "table.h"

#include <algorithm>
#include <cstdlib>

namespace plk::bench {

namespace {

constexpr Target kTargets[] = {
    {"flood rate", ">= 20 x", [](double lineRates) { return lineRates >= 20; }},
    {"flood CPU", "<= 5 CPU-s/MB", [](double cpuPerMB) { return cpuPerMB <= 5; }},
    {"line-rate share", "< 5 %", [](double share) { return share < 0.05; }},
    {"of bare", ">= 0.8 of bare", [](double ratio) { return ratio >= 0.8; }},
    {"commands once", "yes", [](double wrong) { return wrong == 0; }},
    {"latency median", "< 150 us", [](double us) { return us < 150; }},
    {"latency p99", "< 1000 us", [](double us) { return us < 1000; }},
    // The real program's flood is judged by the in-process rows' targets above.
    {"program flood", ">= 20 x, <= 5", nullptr},
    {"idle", "< 0.01 CPU-s", [](double cpuSeconds) { return cpuSeconds < 0.01; }},
    {"memory", "< 40 MB", [](double bytes) { return bytes < 40e6; }},
    {"start-up", "< 300 ms", [](double ms) { return ms < 300; }},
    {"-", "-", nullptr},
    {"", "", nullptr},
};

struct Row {
    std::string figure, measured, target, anchor, verdict;
};
std::vector<Row> g_rows;

}  // namespace

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

void AddRow(std::string figure, std::string measured, std::string_view target, std::string anchor,
            double value) {
    const auto it = std::find_if(std::begin(kTargets), std::end(kTargets),
                                 [&](const Target& t) { return t.name == target; });
    if (it == std::end(kTargets)) {
        std::fprintf(stderr, "no target called \"%.*s\"\n", static_cast<int>(target.size()),
                     target.data());
        std::abort();
    }
    std::string verdict = it->passes == nullptr ? "" : it->passes(value) ? "met" : "NOT MET";
    std::fprintf(stderr, "  %s: %s\n", figure.c_str(), measured.c_str());
    g_rows.push_back({std::move(figure), std::move(measured), std::string(it->text),
                      std::move(anchor), std::move(verdict)});
}

void PrintTable() {
    std::size_t w[4] = {6, 8, 6, 17};  // the headers' widths
    for (const Row& r : g_rows) {
        w[0] = std::max(w[0], r.figure.size());
        w[1] = std::max(w[1], r.measured.size());
        w[2] = std::max(w[2], r.target.size());
        w[3] = std::max(w[3], r.anchor.size());
    }
    auto cell = [](const std::string& s, std::size_t width) {
        return s + std::string(width - s.size(), ' ');
    };
    std::printf("| %s | %s | %s | %s | |\n", cell("figure", w[0]).c_str(),
                cell("measured", w[1]).c_str(), cell("target", w[2]).c_str(),
                cell("anchor (same run)", w[3]).c_str());
    std::printf("|%s|%s|%s|%s|---|\n", std::string(w[0] + 2, '-').c_str(),
                std::string(w[1] + 2, '-').c_str(), std::string(w[2] + 2, '-').c_str(),
                std::string(w[3] + 2, '-').c_str());
    for (const Row& r : g_rows) {
        std::printf("| %s | %s | %s | %s | %s |\n", cell(r.figure, w[0]).c_str(),
                    cell(r.measured, w[1]).c_str(), cell(r.target, w[2]).c_str(),
                    cell(r.anchor, w[3]).c_str(), r.verdict.c_str());
    }
    std::fflush(stdout);
}

}  // namespace plk::bench
