#pragma once
// One console over several nodes of a farm: each node's answer (or why it gave none) side by
// side, and the farm's totals.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "console/ConsoleSnapshot.h"
#include "platform/Clock.h"

struct NodeSnapshot {
    std::string node;  // as the user named it (--host)
    bool up = false;   // it answered; else error says why not
    std::string error;
    ConsoleSnapshot snapshot;
};

// The figures of one node's snapshot, or the sum over the nodes that answered (up counts them).
struct NodeTotals {
    int up = 0;
    long long sessions = 0;
    unsigned long long accepted = 0, rejected = 0, received = 0, sent = 0, uploads = 0,
                       downloads = 0;
};
NodeTotals FiguresOf(const ConsoleSnapshot& snapshot);
NodeTotals SumNodes(const std::vector<NodeSnapshot>& nodes);

// text left-aligned in width columns.
std::string PadRight(const std::string& text, size_t width);
// The width of a column of node names (at least "NODE").
size_t NodeColumnWidth(const std::vector<NodeSnapshot>& nodes);

// Each node's status under a "Node" line (a node that did not answer says so), then the
// totals of those that answered.
std::string NodesStatusText(const std::vector<NodeSnapshot>& nodes, platform::Time32 now);
nlohmann::json NodesStatusJson(const std::vector<NodeSnapshot>& nodes, platform::Time32 now);
// One table of every node's sessions, a NODE column first; a line for each node that did not
// answer.
std::string NodesSessionsText(const std::vector<NodeSnapshot>& nodes);
// That table's lines without the lines of the nodes that are down: the heading and a row a
// session, or "No sessions.".
std::vector<std::string> NodesSessionRows(const std::vector<NodeSnapshot>& nodes);
nlohmann::json NodesSessionsJson(const std::vector<NodeSnapshot>& nodes);
