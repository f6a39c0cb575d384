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

// Each node's status under a "Node" line (a node that did not answer says so), then the
// totals of those that answered.
std::string NodesStatusText(const std::vector<NodeSnapshot>& nodes, platform::Time32 now);
nlohmann::json NodesStatusJson(const std::vector<NodeSnapshot>& nodes, platform::Time32 now);
// One table of every node's sessions, a NODE column first; a line for each node that did not
// answer.
std::string NodesSessionsText(const std::vector<NodeSnapshot>& nodes);
nlohmann::json NodesSessionsJson(const std::vector<NodeSnapshot>& nodes);
