// Progress on standard error, written straight to file descriptor 2: the cells' own output is
// being captured from sys.stderr meanwhile. A terminal gets a bar redrawn in place by a thread of
// its own; anything else one line per cell.
#include "runner_internal.hpp"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace trelvo::cli::runner {

Progress* progress = nullptr;

const char* status_word(CellStatus status) {
    switch (status) {
        case CellStatus::ran: return "ran";
        case CellStatus::cached: return "cached";
        case CellStatus::failed: return "failed";
        case CellStatus::skipped: return "skipped";
        default: return "pending";
    }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

namespace {

std::mutex drawing;

std::string format(const char* pattern, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

}  // namespace

struct Progress::Ticker {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable stop_requested;
    bool stopping = false;
};

Progress::Progress(const Run& run, bool quiet, bool silent)
    : run_(run), quiet_(quiet || silent), silent_(silent), terminal_(!quiet_ && isatty(2)) {
    if (!terminal_) return;
    ticker_ = new Ticker;
    ticker_->thread = std::thread([this] {
        std::unique_lock lock(ticker_->mutex);
        while (!ticker_->stop_requested.wait_for(lock, std::chrono::milliseconds(200),
                                                 [this] { return ticker_->stopping; }))
            draw();
    });
}

Progress::~Progress() { stop(); }

void Progress::stop() {
    if (!ticker_) return;
    {
        std::lock_guard lock(ticker_->mutex);
        ticker_->stopping = true;
    }
    ticker_->stop_requested.notify_all();
    ticker_->thread.join();
    delete ticker_;
    ticker_ = nullptr;
}

void Progress::write(const std::string& text) const {
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(2, text.data() + written, text.size() - written);
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

void Progress::draw() {
    std::lock_guard lock(drawing);
    const std::size_t total = run_.cells.size(), width = 24;
    std::size_t filled = total ? done_ * width / total : width;
    std::string bar = "\r\x1b[2K[" + std::string(filled, '#') + std::string(width - filled, '.') +
                      "] " + std::to_string(done_) + "/" + std::to_string(total) + " cells";
    if (!current_.empty()) bar += "  " + current_.substr(0, 40) + format(" %.1f s", seconds_since(current_started_));
    bar += format("  (%.1f s)", seconds_since(run_.started));
    write(bar);
}

void Progress::started(const Cell& cell) {
    std::lock_guard lock(drawing);
    current_ = cell.name;
    current_started_ = std::chrono::steady_clock::now();
}

void Progress::finished(const Cell& cell) {
    {
        std::lock_guard lock(drawing);
        if (reported_.insert(&cell).second) ++done_;
        if (current_ == cell.name) current_.clear();
        bool failed = cell.status == CellStatus::failed;
        if (quiet_) {
            // Failures are said whatever the verbosity: a failed cell with its error, in one line.
            if (failed && !silent_)
                write((terminal_ ? "\r\x1b[2K" : "") + cell.name + (cell.expects_error ? " failed as expected: " : " failed: ") +
                      cell.failure + "\n");
            return;
        }
        std::string line = "  " + cell.name;
        if (line.size() < 24) line.resize(24, ' ');
        line += std::string(" ") + status_word(cell.status);
        if (line.size() < 33) line.resize(33, ' ');
        line += format("%7.2f s", cell.duration);
        if (failed) line += std::string(cell.expects_error ? "  as expected: " : "  ") + cell.failure;
        if (!cell.failed_ancestor.empty()) line += "  (after " + cell.failed_ancestor + " failed)";
        write((terminal_ ? "\r\x1b[2K" : "") + line + "\n");
    }
    if (terminal_) draw();
}

void Progress::warning(const std::string& text) {
    std::lock_guard lock(drawing);
    write((terminal_ ? "\r\x1b[2K" : "") + std::string("trelvo: warning: ") + text + "\n");
}

void Progress::problem(const std::string& text) {
    std::lock_guard lock(drawing);
    write((terminal_ ? "\r\x1b[2K" : "") + std::string("trelvo: error: ") + text + "\n");
}

void Progress::summary() {
    stop();  // the bar is not drawn again after the summary
    if (silent_) return;
    std::map<CellStatus, int> counts;
    int expected = 0;
    for (const Cell& cell : run_.cells) {
        ++counts[cell.status];
        if (cell.status == CellStatus::failed && cell.expects_error) ++expected;
    }
    std::string failed = std::to_string(counts[CellStatus::failed]) + " failed";
    if (expected) failed += " (" + std::to_string(expected) + " as expected)";
    std::lock_guard lock(drawing);
    write((terminal_ ? "\r\x1b[2K" : "") + std::to_string(run_.cells.size()) + " cells: " +
          std::to_string(counts[CellStatus::ran]) + " ran, " + std::to_string(counts[CellStatus::cached]) +
          " cached, " + failed + ", " + std::to_string(counts[CellStatus::skipped]) + " skipped" +
          format(" in %.2f s\n", seconds_since(run_.started)));
}

}  // namespace trelvo::cli::runner
