#include "ClParser.h"

#include <cctype>

namespace hostsim {

namespace {

char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Reads a value starting at `pos` up to a blank at parenthesis depth 0 (or,
// when `inParens`, up to the matching closing parenthesis). Upper-cases
// outside quotes.
bool readValue(const std::string &s, size_t &pos, bool inParens, std::string &out, ClSyntaxError *error)
{
    int depth = 0;
    while (pos < s.size()) {
        const char c = s[pos];
        if (c == '\'') {
            out.push_back(c);
            ++pos;
            bool closed = false;
            while (pos < s.size()) {
                if (s[pos] == '\'') {
                    if (pos + 1 < s.size() && s[pos + 1] == '\'') {
                        out += "''";
                        pos += 2;
                        continue;
                    }
                    out.push_back('\'');
                    ++pos;
                    closed = true;
                    break;
                }
                out.push_back(s[pos++]);
            }
            if (!closed) {
                *error = {"CPD0020", "Character string not ended by apostrophe."};
                return false;
            }
            continue;
        }
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (depth == 0) {
                if (inParens)
                    return true;
                *error = {"CPD0013", "A matching parenthesis not found."};
                return false;
            }
            --depth;
        } else if (isBlank(c) && depth == 0 && !inParens) {
            return true;
        }
        out.push_back(upper(c));
        ++pos;
    }
    if (depth != 0 || inParens) {
        *error = {"CPD0013", "A matching parenthesis not found."};
        return false;
    }
    return true;
}

} // namespace

std::optional<ClCommand> parseCl(const std::string &text, ClSyntaxError *error)
{
    ClSyntaxError dummy;
    if (!error)
        error = &dummy;
    ClCommand cmd;
    size_t pos = 0;
    while (pos < text.size() && isBlank(text[pos]))
        ++pos;
    std::string name;
    while (pos < text.size() && !isBlank(text[pos]) && text[pos] != '(')
        name.push_back(upper(text[pos++]));
    if (name.empty()) {
        *error = {"CPD0030", "Command name missing."};
        return std::nullopt;
    }
    if (const auto slash = name.find('/'); slash != std::string::npos) {
        cmd.library = name.substr(0, slash);
        name = name.substr(slash + 1);
    }
    cmd.name = name;
    while (true) {
        while (pos < text.size() && isBlank(text[pos]))
            ++pos;
        if (pos >= text.size())
            break;
        // A keyword is a name directly followed by '('.
        size_t end = pos;
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
            ++end;
        ClParam param;
        if (end > pos && end < text.size() && text[end] == '(' &&
            std::isalpha(static_cast<unsigned char>(text[pos]))) {
            for (size_t i = pos; i < end; ++i)
                param.keyword.push_back(upper(text[i]));
            pos = end + 1;
            if (!readValue(text, pos, true, param.value, error))
                return std::nullopt;
            ++pos; // the closing parenthesis
            // Blanks just inside the parentheses do not count.
            while (!param.value.empty() && isBlank(param.value.back()))
                param.value.pop_back();
            size_t lead = 0;
            while (lead < param.value.size() && isBlank(param.value[lead]))
                ++lead;
            param.value.erase(0, lead);
        } else {
            if (!readValue(text, pos, false, param.value, error))
                return std::nullopt;
        }
        cmd.params.push_back(std::move(param));
    }
    return cmd;
}

std::vector<std::string> clElements(const std::string &value)
{
    std::vector<std::string> out;
    size_t pos = 0;
    ClSyntaxError error;
    while (true) {
        while (pos < value.size() && isBlank(value[pos]))
            ++pos;
        if (pos >= value.size())
            break;
        std::string item;
        if (!readValue(value, pos, false, item, &error)) {
            out.push_back(value.substr(pos));
            break;
        }
        out.push_back(item);
    }
    return out;
}

std::string clUnwrap(const std::string &value)
{
    if (value.size() >= 2 && value.front() == '(' && value.back() == ')')
        return value.substr(1, value.size() - 2);
    return value;
}

std::string clUnquote(const std::string &value)
{
    if (value.size() < 2 || value.front() != '\'' || value.back() != '\'')
        return value;
    std::string out;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
        out.push_back(value[i]);
        if (value[i] == '\'' && i + 2 < value.size() && value[i + 1] == '\'')
            ++i;
    }
    return out;
}

QualifiedName clQualified(const std::string &value, const std::string &defaultLibrary)
{
    const auto slash = value.find('/');
    if (slash == std::string::npos)
        return {defaultLibrary, value};
    return {value.substr(0, slash), value.substr(slash + 1)};
}

bool isValidName(const std::string &name)
{
    if (name.empty() || name.size() > 10)
        return false;
    const auto first = static_cast<unsigned char>(name[0]);
    if (!(std::isupper(first) || first == '$' || first == '#' || first == '@'))
        return false;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (!(std::isupper(c) || std::isdigit(c) || c == '$' || c == '#' || c == '@' || c == '_' || c == '.'))
            return false;
    }
    return true;
}

bool isValidGenericName(const std::string &name)
{
    if (name.size() >= 2 && name.size() <= 10 && name.back() == '*')
        return isValidName(name.substr(0, name.size() - 1));
    return isValidName(name);
}

} // namespace hostsim
