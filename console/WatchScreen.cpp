#include "console/WatchScreen.h"

#include <curses.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <clocale>
#include <cstdio>

#include "console/ConsoleFormat.h"
#include "console/ConsoleLink.h"
#include "platform/Clock.h"
#include "platform/Signals.h"

namespace {
std::string Fit(std::string text, int cols) {
    if (cols > 0 && text.size() > static_cast<size_t>(cols)) text.resize(static_cast<size_t>(cols));
    return text;
}

std::string Rate(uint64_t bytesPerSecond) {
    return BytesText(bytesPerSecond) + "/s";
}

constexpr int kKeyEscape = 27;

// The top line: what is watched on the left, the time on the right.
std::string TitleLine(std::string title, platform::Time32 now, int cols) {
    std::string clock = platform::LocalTimeText(now);
    if (title.size() + clock.size() + 2 <= static_cast<size_t>(cols))
        title += std::string(static_cast<size_t>(cols) - title.size() - clock.size(), ' ');
    else
        title += "  ";
    return title + clock;
}
}  // namespace

std::vector<std::string> WatchLines(const ConsoleSnapshot& s, const WatchFrame& f) {
    std::vector<std::string> lines;
    auto add = [&](const std::string& text) { lines.push_back(Fit(text, f.cols)); };
    add(TitleLine("Quenlow FTP  " + f.target, f.now, f.cols));
    std::string ftp = "FTP not listening";
    if (s.network && s.network->listenPort)
        ftp = "FTP " + s.network->listenAddress + ":" + std::to_string(s.network->listenPort);
    if (s.users)
        ftp += "   sessions " + std::to_string(s.users->activeSessions) + " now, " +
               std::to_string(s.users->accepted) + " accepted, " +
               std::to_string(s.users->rejected) + " turned away";
    if (s.transfers)
        ftp += "   files " + std::to_string(s.transfers->filesUploaded) + " up, " +
               std::to_string(s.transfers->filesDownloaded) + " down";
    add(ftp);
    if (s.network)
        add("Traffic received " + BytesText(s.network->bytesReceived) + " (" +
            Rate(f.receivedPerSecond) + "), sent " + BytesText(s.network->bytesSent) + " (" +
            Rate(f.sentPerSecond) + "), " + std::to_string(s.network->openSockets) +
            " sockets open");
    add("");
    // The rest is shared: the session table first, then as many finished transfers as fit.
    int room = f.rows - static_cast<int>(lines.size()) - 1;  // the footer's line
    std::vector<std::string> sessions = SessionRows(s.sessions, static_cast<size_t>(f.cols));
    if (s.sessions.empty()) sessions.push_back("    no sessions");
    std::vector<std::string> files = FileEventRows(s.fileEvents, static_cast<size_t>(f.cols));
    files.insert(files.begin(), "Last transfers");
    if (s.fileEvents.empty()) files.push_back("    none yet");
    int fileRoom = std::min<int>(static_cast<int>(files.size()), std::max(0, room / 3));
    int sessionRoom = std::max(0, room - fileRoom - (fileRoom > 0 ? 1 : 0));
    for (int i = 0; i < sessionRoom && i < static_cast<int>(sessions.size()); ++i)
        add(sessions[static_cast<size_t>(i)]);
    // The heading and the rows that fit; the last of them says how many did not.
    if (static_cast<int>(sessions.size()) > sessionRoom && sessionRoom >= 2)
        lines.back() = Fit(
            "    ... " + std::to_string(sessions.size() - 1 - (sessionRoom - 2)) + " more sessions",
            f.cols);
    while (static_cast<int>(lines.size()) < f.rows - 1 - fileRoom) add("");
    if (fileRoom > 0) {
        add(files[0]);
        add(files[1]);  // the heading
        // The newest last, as many as fit.
        size_t shown = static_cast<size_t>(std::max(0, fileRoom - 2));
        size_t first = files.size() - 2 > shown ? files.size() - shown : 2;
        for (size_t i = first; i < files.size(); ++i) add(files[i]);
    }
    while (static_cast<int>(lines.size()) < f.rows - 1) add("");
    lines.resize(static_cast<size_t>(std::max(1, f.rows - 1)));
    add(f.footer);
    return lines;
}

std::vector<std::string> NodesWatchLines(const std::vector<NodeSnapshot>& nodes,
                                         const WatchFrame& f) {
    std::vector<std::string> lines;
    auto add = [&](const std::string& text) { lines.push_back(Fit(text, f.cols)); };
    size_t width = NodeColumnWidth(nodes);
    NodeTotals all = SumNodes(nodes);
    add(TitleLine("Quenlow FTP  " + std::to_string(nodes.size()) + " nodes, " +
                      std::to_string(all.up) + " up",
                  f.now, f.cols));
    auto figures = [](const NodeTotals& t) {
        return "sessions " + std::to_string(t.sessions) + " now, " + std::to_string(t.accepted) +
               " accepted, " + std::to_string(t.rejected) + " turned away   files " +
               std::to_string(t.uploads) + " up, " + std::to_string(t.downloads) + " down";
    };
    for (const NodeSnapshot& n : nodes)
        add(PadRight(n.node, width) + "  " +
            (n.up ? figures(FiguresOf(n.snapshot)) : "DOWN: " + n.error));
    add(PadRight("all", width) + "  " + figures(all));
    add("");
    std::vector<std::string> rows = NodesSessionRows(nodes);
    int room = f.rows - static_cast<int>(lines.size()) - 1;
    for (int i = 0; i < room && i < static_cast<int>(rows.size()); ++i)
        add(rows[static_cast<size_t>(i)]);
    if (static_cast<int>(rows.size()) > room && room >= 2)
        lines.back() =
            Fit("    ... " + std::to_string(rows.size() - static_cast<size_t>(room) + 1) +
                    " more sessions",
                f.cols);
    while (static_cast<int>(lines.size()) < f.rows - 1) add("");
    lines.resize(static_cast<size_t>(std::max(1, f.rows - 1)));
    add(f.footer);
    return lines;
}

CRowEntry::Outcome CRowEntry::Key(int key) {
    if (key >= '0' && key <= '9' && text_.size() < 6) {
        text_ += static_cast<char>(key);
    } else if ((key == KEY_BACKSPACE || key == 127 || key == 8) && !text_.empty()) {
        text_.pop_back();
    } else if (key == '\n' || key == '\r' || key == KEY_ENTER) {
        return text_.empty() ? Outcome::Cancelled : Outcome::Done;
    } else if (key == kKeyEscape || key == 'q') {
        return Outcome::Cancelled;
    }
    return Outcome::Typing;
}

namespace {
// The curses screen, given back on every way out of the view.
class CursesScreen {
public:
    CursesScreen() {
        std::setlocale(LC_ALL, "");
        initscr();
        cbreak();
        noecho();
        nodelay(stdscr, TRUE);
        keypad(stdscr, TRUE);
        set_escdelay(25);
        curs_set(0);
    }
    ~CursesScreen() { endwin(); }
    CursesScreen(const CursesScreen&) = delete;
    CursesScreen& operator=(const CursesScreen&) = delete;

    void Show(const std::vector<std::string>& lines) {
        erase();
        for (size_t i = 0; i < lines.size(); ++i) {
            bool heading = lines[i].rfind("  #  PEER", 0) == 0 || lines[i].rfind("END ", 0) == 0 ||
                           lines[i].rfind("NODE ", 0) == 0;
            if (i == 0 || heading) attron(A_REVERSE);
            mvaddnstr(static_cast<int>(i), 0, lines[i].c_str(), COLS);
            if (i == 0 || heading) attroff(A_REVERSE);
        }
        refresh();
    }
};

const char* kKeysFooter = "q quit   k kick a session";
}  // namespace

int RunWatch(CConsoleLink& link, platform::SignalWatch& signals, const std::string& target,
             std::string& error) {
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
        error = "watch needs a terminal; use status, sessions or files for a script";
        return 1;
    }
    bool keyWaiting = false, stop = false;
    platform::EventLoop& loop = link.Loop();
    loop.AddReader(STDIN_FILENO, [&] { keyWaiting = true; });
    if (signals.Ok())
        loop.AddReader(signals.Fd(), [&] {
            while (signals.Take()) stop = true;
        });
    int status = 0;
    {
        CursesScreen screen;
        WatchFrame frame;
        frame.target = target;
        frame.footer = kKeysFooter;
        bool typing = false;
        CRowEntry entry;
        uint64_t lastFetch = 0, lastReceived = 0, lastSent = 0;
        bool haveTotals = false;
        while (!stop) {
            uint64_t now = platform::MonotonicMs();
            if (now - lastFetch >= 1000 || lastFetch == 0) {
                if (!link.FetchOverview(true, false, true)) {
                    error = link.Error();
                    status = 1;
                    break;
                }
                ConsoleSnapshot& s = link.Snapshot();
                if (s.network) {
                    uint64_t elapsed = lastFetch ? now - lastFetch : 0;
                    // Totals that went down belong to a restarted server: no rate this time.
                    if (haveTotals && elapsed > 0 && s.network->bytesReceived >= lastReceived &&
                        s.network->bytesSent >= lastSent) {
                        frame.receivedPerSecond =
                            (s.network->bytesReceived - lastReceived) * 1000 / elapsed;
                        frame.sentPerSecond = (s.network->bytesSent - lastSent) * 1000 / elapsed;
                    }
                    lastReceived = s.network->bytesReceived;
                    lastSent = s.network->bytesSent;
                    haveTotals = true;
                }
                lastFetch = now;
            }
            // Keys: q, k and the row; a resize shows up as a key too.
            for (int key; (key = getch()) != ERR;) {
                if (typing) {
                    CRowEntry::Outcome outcome = entry.Key(key);
                    if (outcome == CRowEntry::Outcome::Typing) continue;
                    typing = false;
                    frame.footer = kKeysFooter;
                    if (outcome == CRowEntry::Outcome::Cancelled) continue;
                    int row = std::stoi(entry.Text());
                    const std::vector<CFtpConnMsg>& sessions = link.Snapshot().sessions;
                    const CFtpConnMsg* chosen = nullptr;
                    for (const CFtpConnMsg& c : sessions)
                        if (c.index == row) chosen = &c;
                    if (!chosen) {
                        frame.footer = "No session " + entry.Text() + ".  " + kKeysFooter;
                    } else {
                        std::string who = chosen->peerAddress + " " + chosen->user;
                        if (!link.RequestDisconnect(row, chosen->peerAddress)) {
                            error = link.Error();
                            status = 1;
                            stop = true;
                            break;
                        }
                        frame.footer = "Asked session " + entry.Text() + " (" + who + ") to go.  " +
                                       kKeysFooter;
                        lastFetch = 0;  // show the list without it at once
                    }
                } else if (key == 'q' || key == 'Q') {
                    stop = true;
                } else if (key == 'k' || key == 'K') {
                    typing = true;
                    entry = CRowEntry();
                }
            }
            if (stop) break;
            if (typing) frame.footer = "Kick session #: " + entry.Text() + "_   (Enter, Esc)";
            frame.rows = LINES;
            frame.cols = COLS;
            frame.now = platform::Clock::Now();
            screen.Show(WatchLines(link.Snapshot(), frame));
            keyWaiting = false;
            uint64_t wait = 1000 - std::min<uint64_t>(1000, platform::MonotonicMs() - lastFetch);
            if (lastFetch != 0)
                link.RunUntil([&] { return keyWaiting || stop || !link.Connected(); },
                              static_cast<int>(wait));
            if (!link.Connected()) {
                error = "the server closed the console connection";
                status = 1;
                break;
            }
        }
    }
    loop.RemoveReader(STDIN_FILENO);
    if (signals.Ok()) loop.RemoveReader(signals.Fd());
    return status;
}

int RunNodesWatch(const std::vector<ConsoleTarget>& targets, const std::vector<std::string>& names,
                  platform::SignalWatch& signals, std::string& error) {
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
        error = "watch needs a terminal; use status or sessions for a script";
        return 1;
    }
    std::vector<std::unique_ptr<CConsoleLink>> links(targets.size());
    std::vector<NodeSnapshot> nodes(targets.size());
    CursesScreen screen;
    WatchFrame frame;
    frame.footer = "q quit   (to kick: console --host NODE kick N)";
    bool stop = false;
    while (!stop) {
        uint64_t began = platform::MonotonicMs();
        for (size_t i = 0; i < targets.size(); ++i) {
            NodeSnapshot& node = nodes[i];
            node.node = i < names.size() ? names[i] : targets[i].host;
            std::unique_ptr<CConsoleLink>& link = links[i];
            // A node that went away is asked again on the next round.
            if (!link || !link->Connected()) {
                link = std::make_unique<CConsoleLink>();
                if (!link->Open(targets[i])) {
                    node.up = false;
                    node.error = link->Error();
                    link.reset();
                    continue;
                }
            }
            if (link->FetchOverview(true, false, false)) {
                node.up = true;
                node.snapshot = link->Snapshot();
            } else {
                node.up = false;
                node.error = link->Error();
                link.reset();
            }
        }
        frame.rows = LINES;
        frame.cols = COLS;
        frame.now = platform::Clock::Now();
        screen.Show(NodesWatchLines(nodes, frame));
        // Keys and signals until the second is up; meanwhile each link's loop runs what
        // comes for it, as a one-node view's loop does between its rounds.
        for (;;) {
            uint64_t spent = platform::MonotonicMs() - began;
            if (stop || spent >= 1000) break;
            std::vector<pollfd> waits = {{STDIN_FILENO, POLLIN, 0},
                                         {signals.Ok() ? signals.Fd() : -1, POLLIN, 0}};
            for (const std::unique_ptr<CConsoleLink>& link : links)
                waits.push_back({link ? link->Loop().Fd() : -1, POLLIN, 0});
            if (::poll(waits.data(), waits.size(), static_cast<int>(1000 - spent)) <= 0) break;
            for (size_t i = 0; i < links.size(); ++i)
                if (links[i] && (waits[i + 2].revents & POLLIN)) links[i]->Loop().RunPending();
            if (waits[1].revents & POLLIN)
                while (signals.Take()) stop = true;
            if (waits[0].revents & POLLIN)
                for (int key; (key = getch()) != ERR;)
                    if (key == 'q' || key == 'Q') stop = true;
        }
    }
    return 0;
}
