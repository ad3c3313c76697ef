// The identity record file's handling on disk, with a system call of the
// Linux layer failing at a fuzzed point (and fdatasync made free, so that
// inputs run fast): the file is always the old one or the new one, whole;
// a failed rewrite leaves no temporary file; a successful one leaves the new
// content.
//
// Input: the failing call, its errno, how many calls pass first, a leftover
// temporary file or not, then the file's existing contents.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "fuzz_env.h"
#include "platform/posix_sys.h"
#include "tests/support/syscall_override.h"
#include "zodaruruvizi/devices/identityrecords.h"

namespace {

void Fail(const char* what) {
    zrfuzz::Fail("records_file_fuzz", what);
}

int FreeSync(int) {
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = zrfuzz::Env().logs.File("Tarvik_Serial_Nums.txt");
    static const bool freeSync = (posix_sys::Sys().fdatasync.store(&FreeSync), true);
    (void)freeSync;
    using zrtest::SysCall;
    static const SysCall kCalls[] = {SysCall::kOpen,      SysCall::kRead,      SysCall::kWrite,
                                     SysCall::kFtruncate, SysCall::kFdatasync, SysCall::kRename};
    static const int kErrors[] = {0, EINTR, EAGAIN, ENOSPC, EIO, EACCES, EMFILE};
    FuzzedDataProvider in(data, size);
    const SysCall call = in.PickValueInArray(kCalls);
    const int error = in.PickValueInArray(kErrors);
    const int skip = in.ConsumeIntegralInRange(0, 8);
    // A lasting failure only where the layer gives up at once (a lasting
    // EINTR is retried for ever, a lasting refusal is waited out).
    const bool lasting = in.ConsumeBool() && (error == ENOSPC || error == EIO || error == EMFILE);
    const zrtest::SysFault fault{call, error, skip, lasting ? -1 : 1};
    const bool leftover = in.ConsumeBool();
    const std::string before = in.ConsumeRemainingBytesAsString();
    zrfuzz::Env().logs.Write("Tarvik_Serial_Nums.txt", before);
    if (leftover)
        zrfuzz::Env().logs.Write("Tarvik_Serial_Nums.txt.tmp", "half a rewrite");
    else
        std::filesystem::remove(path + ".tmp");

    const std::string record = "ZEL0012345,R2,R1,R1,00:11,00:12";
    const std::string expected =
        RewriteIdentityRecords(before, "ZEL0012345", record, "\n", nullptr);
    bool stored = true;
    {
        zrtest::SysOverride override(fault);
        try {
            StoreIdentityRecord(path.c_str(), "ZEL0012345", record, "dropped");
        } catch (CFileException* e) {
            e->Delete();
            stored = false;
        }
    }
    const std::string after = zrfuzz::Env().logs.Read("Tarvik_Serial_Nums.txt");
    if (after != before && after != expected)
        Fail("the record file is neither the old one nor the new one");
    if (stored && after != expected)
        Fail("a successful rewrite left other content");
    if (!stored && std::filesystem::exists(path + ".tmp") && !leftover)
        Fail("a failed rewrite left its temporary file");
    if (stored && std::filesystem::exists(path + ".tmp"))
        Fail("a successful rewrite left a temporary file");
    return 0;
}
