#include "tools/gwtool/console.h"

#include <cstdio>
#include <iostream>

#include "terminal.h"
#include "tools/gwtool/model.h"

namespace gwtool {

namespace {

const char kFrames[] = {'|', '/', '-', '\\'};

std::string Seconds(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%5.1fs", seconds);
    return buffer;
}

}  // namespace

Console::Console(bool json, bool verbose)
    : json_(json),
      verbose_(verbose),
      stderr_tty_(IsTerminal(stderr)),
      stdout_tty_(IsTerminal(stdout)) {}

bool Console::StdinIsTerminal() const {
    return IsTerminal(stdin);
}

void Console::WriteErrLocked(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void Console::ClearSpinnerLocked() {
    if (!spinner_drawn_)
        return;
    WriteErrLocked("\r\033[K");
    spinner_drawn_ = false;
}

void Console::DrawSpinnerLocked() {
    if (!progress_active_ || !stderr_tty_)
        return;
    std::string line = "\r\033[K";
    line += kFrames[frame_++ % sizeof kFrames];
    line += " " + Seconds(ProgressElapsed()) + "  " + step_;
    if (!label_.empty())
        line += "  (" + label_ + ")";
    WriteErrLocked(line);
    spinner_drawn_ = true;
}

void Console::Out(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (json_) {
        ClearSpinnerLocked();
        WriteErrLocked(stderr_tty_ ? EscapeControls(text) : text);
        DrawSpinnerLocked();
        return;
    }
    ClearSpinnerLocked();
    WriteOutLocked(stdout_tty_ ? EscapeControls(text) : text);
    DrawSpinnerLocked();
}

void Console::Note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearSpinnerLocked();
    WriteErrLocked(stderr_tty_ ? EscapeControls(text) : text);
    DrawSpinnerLocked();
}

void Console::TerminalLines(const std::vector<std::string>& lines, size_t up) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text = up ? "\033[" + std::to_string(up) + "A" : "";
    for (const std::string& line : lines)
        text += "\r\033[K" + EscapeControls(line) + "\n";
    WriteErrLocked(text);
}

void Console::Warning(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        warnings_.push_back(text);
    }
    Note("gwtool: warning: " + text + "\n");
}

std::vector<std::string> Console::Warnings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return warnings_;
}

void Console::MonitorLine(const std::string& channel, const std::string& text) {
    if (!verbose_)
        return;
    std::string line = "  [" + channel + "] " + text;
    if (line.empty() || line.back() != '\n')
        line += '\n';
    Note(line);
}

bool Console::Confirm(const std::string& question) {
    Note(question + " [y/N] ");
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    for (char& c : answer) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return answer == "y" || answer == "yes";
}

void Console::Document(const std::string& json_text) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearSpinnerLocked();
    WriteOutLocked(json_text + "\n");
}

void Console::WriteOutLocked(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        stdout_ok_ = false;
    }
}

void Console::ProgressBegin(const std::string& label) {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_active_ = true;
    label_ = label;
    step_.clear();
    steps_.clear();
    start_ = std::chrono::steady_clock::now();
}

void Console::ProgressStep(const std::string& step) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!progress_active_ || step == step_)
        return;
    step_ = step;
    const double elapsed = ProgressElapsed();
    steps_.emplace_back(step, elapsed);
    if (stderr_tty_) {
        DrawSpinnerLocked();
    } else {
        WriteErrLocked("  [" + Seconds(elapsed) + "] " + step + "\n");
    }
}

void Console::ProgressTick() {
    std::lock_guard<std::mutex> lock(mutex_);
    DrawSpinnerLocked();
}

void Console::ProgressEnd(const std::string& outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!progress_active_)
        return;
    ClearSpinnerLocked();
    progress_active_ = false;
    WriteErrLocked("  [" + Seconds(ProgressElapsed()) + "] " + outcome + "\n");
}

double Console::ProgressElapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

}  // namespace gwtool
