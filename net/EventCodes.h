#pragma once
// Codes of the events a socket raises on its owning connection.

#include <cstdint>

enum EventCode : uint32_t {
    EV_CONNECT_FAILED = 0x4001,
    EV_ACCEPT = 0x4002,
    EV_CONNECT = 0x4004,
    EV_SEND = 0x4008,
    EV_RECEIVE = 0x4010,
    EV_CLOSE = 0x4020,
    EV_TICK = 0x4040,
    EV_TLS_START = 0x4080,
    EV_TLS_END = 0x4100,
    EV_TLS_FAILED = 0x4101,
    // Posted by a connection after closing its sockets, with a mark of its own: events are
    // routed in posting order, so when this one arrives every event raised for those
    // sockets has been handled.
    EV_DRAINED = 0x4102,
    // Asked of a pooled session by the controller on another thread, carried to the
    // session's own loop: take up the client just accepted (plain, or implicit TLS), the
    // server stops, a console disconnects it.
    EV_GREET = 0x4103,
    EV_GREET_TLS = 0x4104,
    EV_SHUTDOWN = 0x4105,
    EV_KICK = 0x4106,
    // The same as EV_GREET and EV_GREET_TLS for a connection from a trusted load balancer,
    // whose PROXY header comes first; then the client it names is admitted (EV_PROXY_ADMIT).
    EV_GREET_PROXY = 0x4107,
    EV_GREET_TLS_PROXY = 0x4108,
    EV_PROXY_ADMIT = 0x4109,
};
