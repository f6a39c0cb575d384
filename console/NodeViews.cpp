#include "console/NodeViews.h"

#include <algorithm>

#include "console/ConsoleFormat.h"
#include "console/ConsoleJson.h"

using nlohmann::json;

namespace {
struct Totals {
    int up = 0;
    long long sessions = 0;
    unsigned long long accepted = 0, rejected = 0, received = 0, sent = 0, uploads = 0,
                       downloads = 0;
};

Totals Sum(const std::vector<NodeSnapshot>& nodes) {
    Totals t;
    for (const NodeSnapshot& n : nodes) {
        if (!n.up) continue;
        ++t.up;
        const ConsoleSnapshot& s = n.snapshot;
        if (s.users) {
            t.sessions += s.users->activeSessions;
            t.accepted += s.users->accepted;
            t.rejected += s.users->rejected;
        }
        if (s.network) {
            t.received += s.network->bytesReceived;
            t.sent += s.network->bytesSent;
        }
        if (s.transfers) {
            t.uploads += s.transfers->filesUploaded;
            t.downloads += s.transfers->filesDownloaded;
        }
    }
    return t;
}

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}
}  // namespace

std::string NodesStatusText(const std::vector<NodeSnapshot>& nodes, platform::Time32 now) {
    std::string text;
    for (const NodeSnapshot& n : nodes) {
        text += Padded("Node", 11) + n.node + (n.up ? "" : "  DOWN: " + n.error) + "\n";
        if (n.up) text += StatusText(n.snapshot, now);
        text += "\n";
    }
    Totals t = Sum(nodes);
    text += Padded("Nodes", 11) + std::to_string(t.up) + " of " + std::to_string(nodes.size()) +
            " answered\n";
    text += Padded("Sessions", 11) + std::to_string(t.sessions) + " now, " +
            std::to_string(t.accepted) + " accepted, " + std::to_string(t.rejected) +
            " turned away\n";
    text += Padded("Traffic", 11) + "received " + BytesText(t.received) + ", sent " +
            BytesText(t.sent) + "\n";
    text += Padded("Transfers", 11) + std::to_string(t.uploads) + " up, " +
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
    Totals t = Sum(nodes);
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

std::string NodesSessionsText(const std::vector<NodeSnapshot>& nodes) {
    size_t width = 4;  // "NODE"
    std::vector<CFtpConnMsg> all;
    std::vector<const std::string*> owners;
    for (const NodeSnapshot& n : nodes) {
        width = std::max(width, n.node.size());
        if (!n.up) continue;
        for (const CFtpConnMsg& c : n.snapshot.sessions) {
            all.push_back(c);
            owners.push_back(&n.node);
        }
    }
    std::string text;
    if (!all.empty()) {
        // One table, so that the columns line up across nodes; each node numbers its own.
        std::vector<std::string> rows = SessionRows(all, 0);
        text += Padded("NODE", width) + "  " + rows[0] + "\n";
        for (size_t i = 1; i < rows.size(); ++i)
            text += Padded(*owners[i - 1], width) + "  " + rows[i] + "\n";
    } else {
        text += "No sessions.\n";
    }
    for (const NodeSnapshot& n : nodes)
        if (!n.up) text += Padded(n.node, width) + "  DOWN: " + n.error + "\n";
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
