// The line's own time for a node read: request and answer bytes at the line
// speed, the 3.5-character silence ending each frame, and the node's latency.
// Benchmarks divide what a read took by this.
#pragma once

#include "base/node_table.h"

#include <QList>

namespace qlx::bench {

struct Exchange {
    int request;
    int answer;
};

// Exchanges of a node read: the mode register, then per channel either the raw
// code (short read) or nine setup reads and the raw code (full read).
inline QList<Exchange> readExchanges(bool full)
{
    QList<Exchange> list{{8, 7}};
    static constexpr int kBlockCounts[] = {2, 1, 1, 2, 2, 2, 2, 2, 2};
    for (int c = 1; c <= kChannels; ++c) {
        if (full)
            for (const int count : kBlockCounts)
                list.append({8, 5 + 2 * count});
        list.append({8, 7});
    }
    return list;
}

inline double lineMillis(const QList<Exchange> &exchanges, double charMs, double latencyMs)
{
    double total = 0;
    for (const Exchange &e : exchanges)
        total += (e.request + 3.5 + e.answer + 3.5) * charMs + latencyMs;
    return total;
}

} // namespace qlx::bench
