#include "console/NodeViews.h"

#include <algorithm>

#include "console/ConsoleFormat.h"
#include "console/ConsoleJson.h"

using nlohmann::json;

NodeTotals FiguresOf(const ConsoleSnapshot& s) {
    NodeTotals t;
    t.up = 1;
    if (s.users) {
        t.sessions = s.users->activeSessions;
        t.accepted = s.users->accepted;
        t.rejected = s.users->rejected;
    }
    if (s.network) {
        t.received = s.network->bytesReceived;
        t.sent = s.network->bytesSent;
    }
    if (s.transfers) {
        t.uploads = s.transfers->filesUploaded;
        t.downloads = s.transfers->filesDownloaded;
    }
    return t;
}

NodeTotals SumNodes(const std::vector<NodeSnapshot>& nodes) {
    NodeTotals t;
    for (const NodeSnapshot& n : nodes) {
        if (!n.up) continue;
        NodeTotals one = FiguresOf(n.snapshot);
        t.up += one.up;
        t.sessions += one.sessions;
        t.accepted += one.accepted;
        t.rejected += one.rejected;
        t.received += one.received;
        t.sent += one.sent;
        t.uploads += one.uploads;
        t.downloads += one.downloads;
    }
    return t;
}

std::string PadRight(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

size_t NodeColumnWidth(const std::vector<NodeSnapshot>& nodes) {
    size_t width = 4;  // "NODE"
    for (const NodeSnapshot& n : nodes) width = std::max(width, n.node.size());
    return width;
}

std::string NodesStatusText(const std::vector<NodeSnapshot>& nodes, platform::Time32 now) {
    std::string text;
    for (const NodeSnapshot& n : nodes) {
        text += PadRight("Node", 11) + n.node + (n.up ? "" : "  DOWN: " + n.error) + "\n";
        if (n.up) text += StatusText(n.snapshot, now);
        text += "\n";
    }
    NodeTotals t = SumNodes(nodes);
    text += PadRight("Nodes", 11) + std::to_string(t.up) + " of " + std::to_string(nodes.size()) +
            " answered\n";
    text += PadRight("Sessions", 11) + std::to_string(t.sessions) + " now, " +
            std::to_string(t.accepted) + " accepted, " + std::to_string(t.rejected) +
            " turned away\n";
    text += PadRight("Traffic", 11) + "received " + BytesText(t.received) + ", sent " +
            BytesText(t.sent) + "\n";
    text += PadRight("Transfers", 11) + std::to_string(t.uploads) + " up, " +
            std::to_string(t.downloads) + " down\n";
    return text;
}

json NodesStatusJson(const std::vector<NodeSnapshot>& nodes, platform::Time32 now) {
    json list = json::array();
    for (const NodeSnapshot& n : nodes) {
        json one = n.up ? StatusJson(n.snapshot, now) : json::object();
        one["node"] = n.node;
        one["up"] = n.up;
        if (!n.up) one["error"] = n.error;
        list.push_back(one);
    }
    NodeTotals t = SumNodes(nodes);
    return {{"nodes", list},
            {"total",
             {{"nodes", nodes.size()},
              {"nodes_up", t.up},
              {"sessions", t.sessions},
              {"accepted", t.accepted},
              {"turned_away", t.rejected},
              {"bytes_received", t.received},
              {"bytes_sent", t.sent},
              {"uploads", t.uploads},
              {"downloads", t.downloads}}}};
}

std::vector<std::string> NodesSessionRows(const std::vector<NodeSnapshot>& nodes) {
    size_t width = NodeColumnWidth(nodes);
    std::vector<CFtpConnMsg> all;
    std::vector<const std::string*> owners;
    for (const NodeSnapshot& n : nodes) {
        if (!n.up) continue;
        for (const CFtpConnMsg& c : n.snapshot.sessions) {
            all.push_back(c);
            owners.push_back(&n.node);
        }
    }
    if (all.empty()) return {"No sessions."};
    // One table, so that the columns line up across nodes; each node numbers its own.
    std::vector<std::string> rows = SessionRows(all, 0);
    rows[0] = PadRight("NODE", width) + "  " + rows[0];
    for (size_t i = 1; i < rows.size(); ++i)
        rows[i] = PadRight(*owners[i - 1], width) + "  " + rows[i];
    return rows;
}

std::string NodesSessionsText(const std::vector<NodeSnapshot>& nodes) {
    std::string text;
    for (const std::string& row : NodesSessionRows(nodes)) text += row + "\n";
    size_t width = NodeColumnWidth(nodes);
    for (const NodeSnapshot& n : nodes)
        if (!n.up) text += PadRight(n.node, width) + "  DOWN: " + n.error + "\n";
    return text;
}

json NodesSessionsJson(const std::vector<NodeSnapshot>& nodes) {
    json rows = json::array(), down = json::array();
    for (const NodeSnapshot& n : nodes) {
        if (!n.up) {
            down.push_back({{"node", n.node}, {"error", n.error}});
            continue;
        }
        json listed = SessionsJson(n.snapshot);
        for (json row : listed["sessions"]) {
            row["node"] = n.node;
            rows.push_back(row);
        }
    }
    return {{"sessions", rows}, {"down", down}};
}
