// The floor the benchmarks compare the library with: a minimal blocking-socket
// client of the device's wire format, plain C file calls, and CPU clocks.
//
// Its implementation includes the C library's socket headers, so this header
// uses plain types only and may be included beside platform/winapi.h.
#ifndef ZODARURUVIZI_BENCH_FLOOR_H
#define ZODARURUVIZI_BENCH_FLOOR_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace benchfloor {

// One blocking TCP connection to a device: a request frame goes out in one
// send, the reply frame is read with blocking recv calls until it is complete.
// Nothing else: no timeouts, no events, no classification beyond the frame
// length. Not copyable.
class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // address: dotted IPv4 text; port in host byte order.
    bool Connect(const std::string& address, uint16_t port);
    // Sends a request of the given kind (payload length 0) and reads its reply.
    // Copies up to dataRoom data bytes to data. The data length of the reply,
    // or -1 when the connection failed.
    long Exchange(uint8_t kind, uint32_t code, uint32_t qualifier, uint32_t room, void* data,
                  size_t dataRoom, uint32_t* status);
    void Close();

private:
    int fd_ = -1;
    uint32_t sequence_ = 0x40000000u;
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(20008);
};

// Plain file calls (C stdio): the whole file into *content; content into the
// file, replacing it. False on any failure.
bool ReadWholeFile(const std::string& path, std::string* content);
bool WriteWholeFile(const std::string& path, const std::string& content);
// The floor of a rewrite: one open, the whole file read into a fresh buffer,
// content written over it from the start (the file cut only when content is
// shorter), one close.
bool RewriteFile(const std::string& path, const std::string& content);
// The floors of the identity record file, in raw system calls: a read (open,
// read, close), and a durable replace (the file read, content written to
// path + ".tmp", fdatasync, rename over path, the directory synced).
bool ReadOnlyFloor(const std::string& path, std::string* content);
bool DurableReplaceFloor(const std::string& path, const std::string& content);

// CPU time used so far, in seconds: by the calling thread, and by the process.
double ThreadCpuSeconds();
double ProcessCpuSeconds();

// Binds the calling thread (and the threads it starts from then on) to one
// CPU. False when the machine has fewer than two CPUs or the system refuses.
bool RunOnCpu(int cpu);

}  // namespace benchfloor

#endif
