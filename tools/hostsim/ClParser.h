#pragma once
// A small CL command parser: the command name, KEYWORD(value) parameters
// with nested parentheses and quoted strings, and positional values.
// Text outside quotes is upper-cased, as the host's command analyser does.

#include <optional>
#include <string>
#include <vector>

namespace hostsim {

struct ClParam {
    std::string keyword; // empty for a positional value
    std::string value;   // inside the parentheses, upper-cased outside quotes
};

struct ClCommand {
    std::string name;    // upper case, library qualifier removed
    std::string library; // "QSYS/CRTLIB" gives QSYS; empty when unqualified
    std::vector<ClParam> params;
};

struct ClSyntaxError {
    std::string msgId;
    std::string text;
};

// Parses one command. On a syntax error returns nothing and fills `error`.
std::optional<ClCommand> parseCl(const std::string &text, ClSyntaxError *error);

// The blank-separated elements of a value at its top level: "(A B) C" gives
// "(A B)" and "C"; quoted strings stay whole with their quotes.
std::vector<std::string> clElements(const std::string &value);
// A value without its outer parentheses ("(A B)" gives "A B").
std::string clUnwrap(const std::string &value);
// A quoted string's content with doubled quotes undone; other values as they are.
std::string clUnquote(const std::string &value);

// A qualified name "LIB/OBJ"; a bare "OBJ" gets `defaultLibrary`.
struct QualifiedName {
    std::string library;
    std::string object;
};
QualifiedName clQualified(const std::string &value, const std::string &defaultLibrary);

// An OS/400 object or library name: 1 to 10 characters, A-Z $ # @ first,
// then also 0-9 _ and '.'. Anything else (quotes, slashes, dots first) is
// refused, which also keeps names from leaving the host's root folder.
bool isValidName(const std::string &name);
// A generic name "ABC*" (prefix valid, trailing asterisk) or a plain name.
bool isValidGenericName(const std::string &name);

} // namespace hostsim
