#pragma once
// The live full-screen view of a server: counters at the top, the session table, the last
// finished transfers at the bottom, refreshed once a second. "q" quits; "k", a row number and
// Enter disconnect that session.

#include <cstdint>
#include <string>
#include <vector>

#include "console/ConsoleLink.h"
#include "console/ConsoleSnapshot.h"
#include "console/NodeViews.h"

class CConsoleLink;
namespace platform {
class SignalWatch;
}

// What the screen shows beside the snapshot.
struct WatchFrame {
    std::string target;  // "127.0.0.1:1205"
    std::string footer;  // keys, the row being typed, or the last action's result
    uint64_t receivedPerSecond = 0, sentPerSecond = 0;
    int rows = 24, cols = 80;
    platform::Time32 now = 0;
};

// The screen's lines, top to bottom, each at most cols wide; the last is the footer.
std::vector<std::string> WatchLines(const ConsoleSnapshot& snapshot, const WatchFrame& frame);

// The view over several nodes: a line for each node (or why it is down), the totals of those
// that answered, then every node's sessions in one table with a NODE column; the last line is
// the footer.
std::vector<std::string> NodesWatchLines(const std::vector<NodeSnapshot>& nodes,
                                         const WatchFrame& frame);

// The typed row after "k": digits, Backspace, Enter (done), Escape (cancelled).
class CRowEntry {
public:
    enum class Outcome { Typing, Done, Cancelled };
    Outcome Key(int key);
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

// Runs the view until "q", a signal, or the server going away; the terminal is restored on
// every way out. The exit status: 0 quit, 1 the connection failed (said on stderr).
int RunWatch(CConsoleLink& link, platform::SignalWatch& signals, const std::string& target,
             std::string& error);
// The view over several nodes (names as the user gave them), until "q" or a signal; a node
// that does not answer is shown down and asked again each second. 0, or 1 without a terminal.
int RunNodesWatch(const std::vector<ConsoleTarget>& targets, const std::vector<std::string>& names,
                  platform::SignalWatch& signals, std::string& error);
