// gwtool: where output goes, the confirmation prompt and the progress display.
//
// Results go to stdout as text, or as one JSON document at the end with --json
// (then every human line goes to stderr). Progress, monitor lines and errors
// always go to stderr. Text bound for a terminal has its control characters
// escaped (device text may carry any). Every write is serialised, because monitor lines arrive
// on the library's update worker while the main thread draws the progress.
#ifndef ZODARURUVIZI_TOOLS_GWTOOL_CONSOLE_H
#define ZODARURUVIZI_TOOLS_GWTOOL_CONSOLE_H

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace gwtool {

class Console {
public:
    Console(bool json, bool verbose);

    bool json() const { return json_; }
    bool verbose() const { return verbose_; }
    bool StdinIsTerminal() const;
    bool StderrIsTerminal() const { return stderr_tty_; }
    // False once a write to stdout failed.
    bool StdoutWritten() const { return stdout_ok_; }

    // Result text: stdout, or stderr with --json.
    void Out(const std::string& text);
    // A message for the user: always stderr.
    void Note(const std::string& text);
    // Terminal only: moves `up` lines up, then writes the lines over what was there.
    void TerminalLines(const std::vector<std::string>& lines, size_t up);
    // A warning: "gwtool: warning: TEXT" on stderr, kept for the JSON document.
    void Warning(const std::string& text);
    std::vector<std::string> Warnings();
    // A monitor line from the library (any thread); shown with --verbose.
    void MonitorLine(const std::string& channel, const std::string& text);
    // Asks on stderr and reads stdin; true for "y" or "yes".
    bool Confirm(const std::string& question);
    // Writes the JSON document (one line) to stdout.
    void Document(const std::string& json_text);

    // ---- progress ----
    // A spinner with the elapsed time and the step when stderr is a terminal;
    // otherwise one plain line per step.
    void ProgressBegin(const std::string& label);
    void ProgressStep(const std::string& step);  // a new step (repeats are ignored)
    void ProgressTick();                         // redraws the spinner
    void ProgressEnd(const std::string& outcome);
    double ProgressElapsed() const;
    // The steps of the last progress display with their elapsed seconds.
    const std::vector<std::pair<std::string, double>>& ProgressSteps() const { return steps_; }

private:
    void WriteErrLocked(const std::string& text);
    void WriteOutLocked(const std::string& text);
    void ClearSpinnerLocked();
    void DrawSpinnerLocked();

    bool json_;
    bool verbose_;
    bool stderr_tty_;
    bool stdout_tty_;
    bool stdout_ok_ = true;
    std::mutex mutex_;
    bool progress_active_ = false;
    bool spinner_drawn_ = false;
    unsigned frame_ = 0;
    std::string label_;
    std::string step_;
    std::chrono::steady_clock::time_point start_;
    std::vector<std::pair<std::string, double>> steps_;
    std::vector<std::string> warnings_;
};

}  // namespace gwtool

#endif  // ZODARURUVIZI_TOOLS_GWTOOL_CONSOLE_H
