#include "tools/gwtool/scan.h"

#include <algorithm>
#include <deque>

#include "tools/gwtool/report.h"

namespace gwtool {

namespace {

using Clock = std::chrono::steady_clock;

const uint16_t kZelPort = 9191;
const uint16_t kMirPort = 9181;

}  // namespace

std::vector<ScanHit> Scan(const std::vector<uint32_t>& addresses,
                          std::chrono::milliseconds timeout) {
    struct Try {
        size_t index;
        uint16_t port;
        scan_os::Attempt attempt;
        Clock::time_point deadline;
    };
    std::vector<std::vector<uint16_t>> accepted(addresses.size());
    std::deque<std::pair<size_t, uint16_t>> queue;
    for (size_t i = 0; i < addresses.size(); ++i) {
        queue.emplace_back(i, kZelPort);
        queue.emplace_back(i, kMirPort);
    }
    scan_os::Sockets sockets;
    std::deque<Try> open;
    while (!queue.empty() || !open.empty()) {
        // Keep the window full; every attempt gets its own deadline.
        while (!queue.empty() && open.size() < kMaxOpenAttempts) {
            Try t{queue.front().first, queue.front().second, {}, Clock::now() + timeout};
            queue.pop_front();
            t.attempt = scan_os::StartConnect(addresses[t.index], t.port);
            open.push_back(t);
        }
        // Wait for the earliest deadline, or not at all when some attempt is over.
        std::vector<scan_os::Attempt*> pending;
        Clock::time_point until = Clock::time_point::max();
        for (Try& t : open) {
            if (t.attempt.state == scan_os::State::Pending) {
                pending.push_back(&t.attempt);
                until = std::min(until, t.deadline);
            } else {
                until = Clock::time_point::min();
            }
        }
        if (!pending.empty() && until != Clock::time_point::min()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            scan_os::WaitAttempts(pending, std::max(left, std::chrono::milliseconds(0)));
        }
        const Clock::time_point now = Clock::now();
        for (auto it = open.begin(); it != open.end();) {
            if (it->attempt.state == scan_os::State::Pending && now < it->deadline) {
                ++it;
                continue;
            }
            if (it->attempt.state == scan_os::State::Accepted)
                accepted[it->index].push_back(it->port);
            scan_os::CloseAttempt(it->attempt);
            it = open.erase(it);
        }
    }
    std::vector<std::pair<uint32_t, size_t>> order;
    for (size_t i = 0; i < addresses.size(); ++i)
        order.emplace_back(addresses[i], i);
    std::sort(order.begin(), order.end());
    std::vector<ScanHit> hits;
    for (const auto& item : order) {
        std::vector<uint16_t>& ports = accepted[item.second];
        if (ports.empty())
            continue;
        std::sort(ports.begin(), ports.end(), std::greater<uint16_t>());
        hits.push_back({AddressText(item.first), ports, ports.front() == kZelPort ? "ZEL" : "MIR"});
    }
    return hits;
}

std::string ScanText(const std::vector<ScanHit>& hits, size_t tried) {
    std::vector<std::vector<std::string>> rows = {{"ADDRESS", "FAMILY", "PORTS"}};
    for (const ScanHit& h : hits) {
        std::string ports;
        for (uint16_t p : h.ports)
            ports += (ports.empty() ? "" : ",") + std::to_string(p);
        rows.push_back({h.address, h.family, ports});
    }
    return (hits.empty() ? std::string() : FormatTable(rows)) + std::to_string(hits.size()) +
           " of " + std::to_string(tried) + " addresses answered.\n";
}

nlohmann::json ScanJson(const std::vector<ScanHit>& hits) {
    nlohmann::json out = nlohmann::json::array();
    for (const ScanHit& h : hits)
        out.push_back({{"address", h.address}, {"family", h.family}, {"ports", h.ports}});
    return out;
}

}  // namespace gwtool
