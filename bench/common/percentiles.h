#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <vector>

struct Percentiles
{
    size_t count = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

// Of durations in nanoseconds, in milliseconds (nearest-rank).
inline Percentiles percentiles(std::vector<qint64> v)
{
    Percentiles p;
    p.count = v.size();
    if (v.empty())
        return p;
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) {
        const size_t rank = size_t(std::ceil(q * double(v.size())));
        return double(v[std::clamp<size_t>(rank, 1, v.size()) - 1]) / 1e6;
    };
    p.p50 = at(0.50);
    p.p99 = at(0.99);
    p.max = double(v.back()) / 1e6;
    return p;
}
