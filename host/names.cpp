// Answers kept under names, and the %...% substitutions that read them: a name, a
// field of it, simple integer arithmetic, and the host's words for its window.
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <map>

#include "host.h"

static std::map<std::string, std::string> g_names;

bool IsName(const std::string& word) {
    if (word.empty() || !(isalpha(static_cast<unsigned char>(word[0])) || word[0] == '_')) return false;
    for (unsigned char c : word)
        if (!isalnum(c) && c != '_') return false;
    return true;
}

bool IsHostWord(const std::string& name) {
    long unused;
    return HostWordValue(name, unused);
}

void SetName(const std::string& name, const std::string& value) { g_names[name] = value; }

// What a text is as a whole number. strtoll clamps one beyond 64 bits to the nearest
// end; counting on with that would give a wrong number, not an error.
enum NumberText { kNotANumber, kWholeNumber, kOutOfRange };

static NumberText ReadNumber(const std::string& text, long long& value) {
    char* end = nullptr;
    errno = 0;
    value = strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0') return kNotANumber;
    return errno == ERANGE ? kOutOfRange : kWholeNumber;
}

static const char kWholeNumbers[] = "whole numbers run from -9223372036854775808 to 9223372036854775807";

// total (+ - * /) n in `result`; false when the result lies beyond 64 bits, where
// the processor's arithmetic would wrap round.
static bool Arithmetic(long long total, char sign, long long n, long long& result) {
    switch (sign) {
        case '+': return !__builtin_add_overflow(total, n, &result);
        case '-': return !__builtin_sub_overflow(total, n, &result);
        case '*': return !__builtin_mul_overflow(total, n, &result);
        default:
            if (total == LLONG_MIN && n == -1) return false;  // the one quotient beyond range
            result = total / n;
            return true;
    }
}

// One term of a substitution: NAME, NAME.N or, after an operator, a number. Answers
// false when it names nothing (the text then stays as written).
static bool Term(const std::string& term, bool first, std::string& value) {
    long long number;
    if (!first && ReadNumber(term, number) != kNotANumber && term[0] != '-' && term[0] != '+') {
        value = term;
        return true;
    }
    size_t dot = term.find('.');
    std::string name = term.substr(0, dot);
    long hostValue;
    if (dot == std::string::npos && HostWordValue(name, hostValue)) {
        value = std::to_string(hostValue);
        return true;
    }
    auto found = g_names.find(name);
    if (found == g_names.end()) return false;
    value = found->second;
    if (dot == std::string::npos) return true;
    long long field;
    if (ReadNumber(term.substr(dot + 1), field) == kNotANumber || field < 1) return false;
    // Fields count from 1; one the value does not have is empty (so is one beyond 64
    // bits, read as the largest number).
    size_t from = 0;
    for (long long i = 1; i < field && from != std::string::npos; ++i) {
        from = value.find('|', from);
        if (from != std::string::npos) ++from;
    }
    value = from == std::string::npos ? "" : value.substr(from, value.find('|', from) - from);
    return true;
}

// The value of what stands between two % signs; false when it names nothing.
static bool Evaluate(const std::string& inside, std::string& value, std::string& error) {
    size_t op = inside.find_first_of("+-*/");
    if (!Term(inside.substr(0, op), true, value)) return false;
    if (op == std::string::npos) return true;
    long long total;
    NumberText firstText = ReadNumber(value, total);
    std::string firstValue = value;
    while (op != std::string::npos) {
        char sign = inside[op];
        size_t next = inside.find_first_of("+-*/", op + 1);
        std::string operand;
        if (!Term(inside.substr(op + 1, next == std::string::npos ? next : next - op - 1), false, operand))
            return false;
        long long n;
        NumberText operandText = ReadNumber(operand, n);
        if (firstText == kNotANumber || operandText == kNotANumber) {
            error = "%" + inside + "%: " + (firstText == kNotANumber ? Quote(firstValue) : Quote(operand)) +
                    " is not a whole number, no arithmetic on it";
            return false;
        }
        if (firstText == kOutOfRange || operandText == kOutOfRange) {
            error = "%" + inside + "%: " + (firstText == kOutOfRange ? Quote(firstValue) : Quote(operand)) +
                    " is out of range: " + kWholeNumbers;
            return false;
        }
        if (sign == '/' && n == 0) {
            error = "%" + inside + "%: division by zero";
            return false;
        }
        long long result;
        if (!Arithmetic(total, sign, n, result)) {
            error = "%" + inside + "%: " + std::to_string(total) + " " + sign + " " + std::to_string(n) +
                    " overflows: " + kWholeNumbers;
            return false;
        }
        total = result;
        op = next;
    }
    value = std::to_string(total);
    return true;
}

bool Substituted(const std::string& word, std::string& out, std::string& error) {
    out.clear();
    size_t i = 0;
    while (i < word.size()) {
        size_t open = word.find('%', i), close = open == std::string::npos ? open : word.find('%', open + 1);
        if (close == std::string::npos) break;
        std::string value;
        if (Evaluate(word.substr(open + 1, close - open - 1), value, error)) {
            out += word.substr(i, open - i) + value;
            i = close + 1;
        } else if (!error.empty()) {
            return false;
        } else {
            out += word.substr(i, close - i);  // the closing % may open a word
            i = close;
        }
    }
    out += word.substr(i);
    return true;
}

std::vector<std::string> UnkeptNames(const std::vector<std::string>& words, const std::vector<std::string>& kept) {
    std::vector<std::string> found;
    for (const std::string& word : words) {
        // The % signs pair up as Substituted pairs them.
        for (size_t i = 0;;) {
            size_t open = word.find('%', i), close = open == std::string::npos ? open : word.find('%', open + 1);
            if (close == std::string::npos) break;
            std::string inside = word.substr(open + 1, close - open - 1);
            std::string name = inside.substr(0, inside.find_first_of(".+-*/"));
            bool known = IsHostWord(name);
            std::string hint;
            for (const std::string& k : kept) {
                if (k == name) known = true;
                else if (lstrcmpiA(k.c_str(), name.c_str()) == 0) hint = " (did you mean %" + k + "%? names are matched as written)";
            }
            if (!IsName(name) || known) {
                i = known ? close + 1 : close;
                continue;
            }
            found.push_back("%" + inside + "%: no statement keeps a name " + name + " (NAME = ... or .set NAME)" + hint +
                            "; it is passed on as written");
            i = close;
        }
    }
    return found;
}
