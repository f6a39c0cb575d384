#pragma once
// The arguments and replies of the data-connection commands (PORT, EPRT, PASV, EPSV).

#include <string>

// "h1,h2,h3,h4,p1,p2" with anything but digits and commas ignored; exactly five commas and
// no empty field. h1..h4 are 0 to 255 and the address comes back in plain dotted decimal
// (leading zeros dropped). The port is (p1 mod 256) * 256 + (p2 mod 256).
bool ParsePortArgument(const std::string& argument, std::string& address, int& port);

enum class EprtResult { Ok, Bad, UnsupportedProtocol };
// "|1|a.b.c.d|port|" or "|2|ipv6|port|" with any delimiter from 33 to 126. An IPv4 address is
// read as for PORT; an IPv6 one is numeric with no zone and comes back in its short form. A
// well-formed argument of the other protocol than wanted (1 or 2, the control connection's
// family) is UnsupportedProtocol.
EprtResult ParseEprtArgument(const std::string& argument, std::string& address, int& port,
                             int wanted = 1);

// "Entering passive mode (a,b,c,d,p1,p2)."
std::string PassiveModeText(const std::string& address, int port);
// The 522 text of a control connection of protocol wanted: "Network protocol not supported,
// use (2)."
std::string ProtocolRefusalText(int wanted);
// "Entering extended passive mode (|||port|)."
std::string ExtendedPassiveModeText(int port);

// The reply to an upload whose file write failed with the errno value error: 452 when the
// disk or the quota is full, else the transfer's abort.
int UploadFailureCode(int error);
