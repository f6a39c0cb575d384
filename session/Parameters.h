#pragma once
// The choices a client makes for its session, by their names: TYPE, STRU, AUTH's mechanism,
// PROT's level, and the two kinds of listing. (MODE's values live with the streams.)

// TYPE A (the default) or TYPE I.
enum DataType : int { TYPE_ASCII = 0, TYPE_IMAGE = 1 };

// STRU F (the default) or STRU R; STAT also knows P by name.
enum FileStructure : int { STRU_FILE = 0, STRU_RECORD = 1, STRU_PAGE = 2 };

// AUTH's mechanisms as STAT shows them, and PROT's levels.
enum AuthMechanism : int { AUTH_NONE = 0, AUTH_SSL = 1, AUTH_TLS = 3 };
enum DataProtection : int { PROT_CLEAR = 0, PROT_CONFIDENTIAL = 2, PROT_PRIVATE = 3 };

// LIST gives long lines, NLST names only.
enum ListingKind : int { LISTING_LONG = 0, LISTING_NAMES = 1 };
