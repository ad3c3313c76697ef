// A simulated device of one family on a loopback address of its own (the
// shared fixtures), fresh software and log directories, captured log lines,
// an empty value store and the family's utility talking to the device.
#ifndef ZODARURUVIZI_TESTS_DEVICES_DEVICE_FIXTURE_H
#define ZODARURUVIZI_TESTS_DEVICES_DEVICE_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/testenv.h"
#include "zodaruruvizi/comms/gatewaycomms.h"
#include "zodaruruvizi/devices/sollumutils.h"
#include "zodaruruvizi/devices/tarvikutils.h"
#include "zodaruruvizi/devices/valuestore.h"

namespace zrtest {

using gwsim::DeviceState;
using gwsim::Family;
using std::chrono::seconds;

class DeviceTest : public ::testing::Test {
protected:
    // Starts the simulator (its software directory is the test's) and the
    // family's utility on its address; `comms` is the utility's transport.
    void Start(const DeviceState& state = DeviceState::Default(Family::ZEL)) {
        GetValueStore().clear();
        dev.reset();
        gwsim::Options options;
        options.software_dir = dirs.software.path();
        std::string error;
        sim = StartSimulator(state, options, &error);
        ASSERT_TRUE(sim) << error;
        const bool mir = state.family == Family::MIR;
        comms = new CGatewayComms(mir ? 9181 : 9191);
        dev.reset(mir ? static_cast<CZodarurUvizi*>(new CSollumUtils(comms))
                      : new CTarvikUtils(comms));
        dev->SetIPAddress(inet_addr(sim->address().c_str()));
    }
    void TearDown() override { GetValueStore().clear(); }

    static std::string Stored(const char* key) {
        auto it = GetValueStore().find(key);
        return it == GetValueStore().end() ? std::string("(absent)") : it->second;
    }
    static std::vector<std::string> Stored(const std::vector<const char*>& keys) {
        std::vector<std::string> values;
        for (const char* key : keys)
            values.push_back(Stored(key));
        return values;
    }
    // The requests as "kind:code/room", kind and code in hex.
    std::string Codes() const {
        std::string out;
        char one[48];
        for (const auto& r : sim->Requests()) {
            snprintf(one, sizeof one, "%s%x:%x/%u", out.empty() ? "" : " ", unsigned(r.kind),
                     unsigned(r.code), unsigned(r.room));
            out += one;
        }
        return out;
    }

    GatewayDirs dirs;
    CapturedLog log;
    std::unique_ptr<gwsim::Simulator> sim;
    std::unique_ptr<CZodarurUvizi> dev;
    CGatewayComms* comms = nullptr;
};

inline gwsim::Fault StatusFault(uint32_t code, uint32_t status, int times = -1) {
    gwsim::Fault fault;
    fault.code = code;
    fault.status = status;
    fault.times = times;
    return fault;
}

}  // namespace zrtest

#endif
