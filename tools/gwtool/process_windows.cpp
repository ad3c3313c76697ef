// Child processes on Windows: CreateProcess.
#include <windows.h>

#include "tools/gwtool/process.h"

namespace gwtool {

namespace {

// One argument quoted as the C runtime splits a command line.
std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

}  // namespace

std::string SelfPath() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(path, n) : std::string();
}

bool SpawnChild(const std::vector<std::string>& args, const std::string& out_path, Child* child,
                std::string* error) {
    std::string line;
    for (const std::string& a : args)
        line += (line.empty() ? "" : " ") + Quoted(a);
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    HANDLE out = CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE none = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = none;
    si.hStdOutput = out;
    si.hStdError = none;
    PROCESS_INFORMATION pi{};
    const BOOL ok = out != INVALID_HANDLE_VALUE &&
                    CreateProcessA(args[0].c_str(), &line[0], nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    const DWORD err = GetLastError();
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    if (none != INVALID_HANDLE_VALUE)
        CloseHandle(none);
    if (!ok) {
        *error = "could not start " + args[0] + " (error " + std::to_string(err) + ")";
        return false;
    }
    child->handle = reinterpret_cast<intptr_t>(pi.hProcess);
    child->thread = reinterpret_cast<intptr_t>(pi.hThread);
    return true;
}

bool ChildEnded(Child& child, int* exit_code) {
    HANDLE process = reinterpret_cast<HANDLE>(child.handle);
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    *exit_code = GetExitCodeProcess(process, &code) ? static_cast<int>(code) : -1;
    CloseHandle(process);
    CloseHandle(reinterpret_cast<HANDLE>(child.thread));
    return true;
}

void PauseBriefly() {
    Sleep(10);
}

}  // namespace gwtool
