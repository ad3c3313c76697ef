#include "tests/support/syscall_override.h"

namespace zrtest {

SysOverride::SysOverride(const SysFault&) {}
SysOverride::~SysOverride() = default;
int SysOverride::Faults() const {
    return 0;
}
bool SysOverride::Available() {
    return false;
}
int InChild(int (*)(void*), void*) {
    return -1;
}

}  // namespace zrtest
