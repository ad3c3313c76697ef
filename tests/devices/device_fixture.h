// A simulated device of one family on a loopback address of its own, fresh
// software and log directories, captured log lines and an empty value store.
#ifndef ZODARURUVIZI_TESTS_DEVICES_DEVICE_FIXTURE_H
#define ZODARURUVIZI_TESTS_DEVICES_DEVICE_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/testenv.h"
#include "tests/support/loopback.h"
#include "tools/gwsim/simulator.h"
#include "zodaruruvizi/devices/valuestore.h"

namespace zrtest {

class DeviceTest : public ::testing::Test {
protected:
    // Starts the simulator with the given state (its software directory is
    // the test's).
    void StartDevice(const gwsim::DeviceState& state) {
        GetValueStore().clear();
        gwsim::Options options;
        options.software_dir = dirs.software.path();
        std::string error;
        sim = zrtest::StartSimulator(state, options, &error);
        ASSERT_TRUE(sim) << error;
    }
    void TearDown() override { GetValueStore().clear(); }

    unsigned long DeviceAddress() const { return inet_addr(sim->address().c_str()); }

    // The value store as a map of what the test expects.
    static std::string Stored(const char* key) {
        const auto& store = GetValueStore();
        auto it = store.find(key);
        return it == store.end() ? std::string("(absent)") : it->second;
    }

    // Codes of the requests the device received, in order.
    std::vector<uint32_t> RequestCodes() const {
        std::vector<uint32_t> codes;
        for (const auto& r : sim->Requests())
            codes.push_back(r.code);
        return codes;
    }

    GatewayDirs dirs;
    CapturedLog log;
    std::unique_ptr<gwsim::Simulator> sim;
};

inline gwsim::Fault StatusFault(uint32_t code, uint32_t status, int times = -1) {
    gwsim::Fault fault;
    fault.kind = gwsim::FaultKind::Status;
    fault.code = code;
    fault.status = status;
    fault.times = times;
    return fault;
}

}  // namespace zrtest

#endif
