// The one table figures_bench prints: a row a figure, beside its target and an
// anchor measured in the same run; and the statistics the figures are taken with.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace plk::bench {

double Median(std::vector<double> v);
double Percentile(std::vector<double> v, double p);

template <typename... Args>
std::string Fmt(const char* format, Args... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

// What a figure must reach. Every target lives in kTargets (table.cpp), so
// that one edit moves the goal and the verdict together.
struct Target {
    std::string_view name;
    std::string_view text;         // as the table shows it
    bool (*passes)(double value);  // null: shown beside the figure, not judged
};

// A figure beside the target called `target`, judged by `value` when that
// target has a test.
void AddRow(std::string figure, std::string measured, std::string_view target, std::string anchor,
            double value = 0);

void PrintTable();

}  // namespace plk::bench
