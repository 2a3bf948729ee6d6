// Where an error was raised or a record logged: file, qualified function name and line,
// captured at the site by macros so that nobody types a function name by hand.
#pragma once

#include <cstddef>

struct SourceLocation {
    SourceLocation(const char* filePath, const char* function, int lineNumber)
        : file(filePath), func(function), line(lineNumber) {}

    const char* file;  // full source path, static storage
    const char* func;  // qualified function name, static storage
    int line;
};

// The part of a source path after its last '\\' or '/': what error texts and log records name.
template <typename Char>
const Char* fileNamePart(const Char* path) {
    const Char* name = path;
    for (const Char* next = path; *next != Char(0); ++next) {
        if (*next == Char('\\') || *next == Char('/')) {
            name = next + 1;
        }
    }
    return name;
}

namespace ld::detail {

// A compile-time copy of the compiler's pretty function name, usable as a template argument so
// that each site gets its own rewritten name in static storage.
template <std::size_t N>
struct FixedString {
    constexpr FixedString(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) {
            chars[i] = text[i];
        }
    }
    char chars[N] = {};
};

struct Span {
    std::size_t begin;
    std::size_t end;
};

constexpr bool startsAt(const char* text, std::size_t size, std::size_t pos, const char* word) {
    for (std::size_t i = 0; word[i] != '\0'; ++i) {
        if (pos + i >= size || text[pos + i] != word[i]) {
            return false;
        }
    }
    return true;
}

constexpr std::size_t length(const char* text) {
    std::size_t n = 0;
    while (text[n] != '\0') {
        ++n;
    }
    return n;
}

constexpr std::size_t matchingOpenParen(const char* text, std::size_t close) {
    int depth = 0;
    std::size_t open = close + 1;
    while (open > 0) {
        --open;
        if (text[open] == ')') {
            ++depth;
        } else if (text[open] == '(' && --depth == 0) {
            break;
        }
    }
    return open;
}

constexpr bool isIdentifierChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Where the keyword of an operator's name starts ("ns::C::operator<<" -> the 'o'), or `open`
// when the name before `open` is no operator. Operator names hold characters ('<', '(', ' ')
// that would otherwise read as nesting or as the end of the name.
constexpr std::size_t operatorKeywordStart(const char* text, std::size_t low, std::size_t open) {
    constexpr std::size_t kLength = 8;  // "operator"
    for (std::size_t i = open; i-- > low;) {
        if (startsAt(text, open, i, "operator") && (i == low || !isIdentifierChar(text[i - 1])) &&
            (i + kLength == open || !isIdentifierChar(text[i + kLength]))) {
            return i;
        }
    }
    return open;
}

// The name inside text[low, end): "int ns::Cls::fn(int) const" -> "ns::Cls::fn".
constexpr Span nameSpanWithin(const char* text, std::size_t low, std::size_t end) {
    std::size_t close = end;
    while (close > low && text[close - 1] != ')' && text[close - 1] != '>') {
        --close;  // past trailing qualifiers such as " const" or " noexcept"
    }
    if (close == low || text[close - 1] != ')') {
        return {low, end};
    }
    const std::size_t open = matchingOpenParen(text, close - 1);
    const bool callOperator = open >= low + 10 && startsAt(text, open, open - 10, "operator()");
    if (!callOperator && open > low && text[open - 1] == ')') {
        // A function returning a function pointer: "R (* ns::fn(args) const)(args)".
        const std::size_t innerClose = open - 1;
        return nameSpanWithin(text, matchingOpenParen(text, innerClose) + 1, innerClose);
    }
    std::size_t begin = operatorKeywordStart(text, low, open);
    int nesting = 0;
    while (begin > low) {
        const char c = text[begin - 1];
        if (c == '>' || c == ')') {
            ++nesting;
        } else if (c == '<' || c == '(') {
            --nesting;
        } else if (c == ' ' && nesting == 0) {
            break;
        }
        --begin;
    }
    // clang writes a returned pointer or reference against the name: "const char *ns::fn()".
    while (begin < open && (text[begin] == '*' || text[begin] == '&')) {
        ++begin;
    }
    return {begin, open};
}

// "int ns::Cls::fn(int) const [with T = int]" -> the span of "ns::Cls::fn".
// Text that does not look like a function signature (a lambda's "<lambda()>") is kept whole.
constexpr Span qualifiedNameSpan(const char* text, std::size_t size) {
    std::size_t end = size;
    for (std::size_t i = 0; i < size; ++i) {
        if (startsAt(text, size, i, " [with ") || startsAt(text, size, i, " [T = ")) {
            end = i;
            break;
        }
    }
    return nameSpanWithin(text, 0, end);
}

// The unnamed namespace is rendered the way the Microsoft compiler names it, whichever compiler
// builds the code, so that log records and messages read the same.
inline constexpr const char* kGccAnonymous = "{anonymous}";
inline constexpr const char* kClangAnonymous = "(anonymous namespace)";
inline constexpr const char* kAnonymous = "`anonymous-namespace'";

template <typename Char, typename Emit>
constexpr void rewriteName(const char* text, std::size_t size, Emit emit) {
    const Span span = qualifiedNameSpan(text, size);
    for (std::size_t i = span.begin; i < span.end;) {
        const char* replaced = nullptr;
        std::size_t skip = 0;
        if (startsAt(text, span.end, i, kGccAnonymous)) {
            replaced = kAnonymous;
            skip = length(kGccAnonymous);
        } else if (startsAt(text, span.end, i, kClangAnonymous)) {
            replaced = kAnonymous;
            skip = length(kClangAnonymous);
        }
        if (replaced != nullptr) {
            for (std::size_t k = 0; replaced[k] != '\0'; ++k) {
                emit(static_cast<Char>(replaced[k]));
            }
            i += skip;
        } else {
            emit(static_cast<Char>(text[i]));
            ++i;
        }
    }
}

template <typename Char, std::size_t N>
constexpr std::size_t rewrittenLength(const FixedString<N>& pretty) {
    std::size_t n = 0;
    rewriteName<Char>(pretty.chars, N - 1, [&n](Char) { ++n; });
    return n;
}

template <typename Char, std::size_t Size>
struct NameBuffer {
    Char chars[Size + 1] = {};
};

template <typename Char, std::size_t Size, std::size_t N>
constexpr NameBuffer<Char, Size> rewrite(const FixedString<N>& pretty) {
    NameBuffer<Char, Size> out;
    std::size_t pos = 0;
    rewriteName<Char>(pretty.chars, N - 1, [&](Char c) { out.chars[pos++] = c; });
    return out;
}

template <FixedString Pretty>
struct FunctionName {
    static constexpr auto narrowBuffer = rewrite<char, rewrittenLength<char>(Pretty)>(Pretty);
    static constexpr auto wideBuffer = rewrite<wchar_t, rewrittenLength<wchar_t>(Pretty)>(Pretty);
    static constexpr const char* narrow = narrowBuffer.chars;
    static constexpr const wchar_t* wide = wideBuffer.chars;
};

}  // namespace ld::detail

#define LD_WIDEN_IMPL(text) L##text
#define LD_WIDEN(text) LD_WIDEN_IMPL(text)

#if defined(_MSC_VER) && !defined(__clang__)
#define LD_FUNCTION_NAME __FUNCTION__
#define LD_FUNCTION_NAME_W __FUNCTIONW__
#else
#define LD_PRETTY_NAME_HOLDER \
    ::ld::detail::FunctionName<::ld::detail::FixedString<sizeof(__PRETTY_FUNCTION__)>(__PRETTY_FUNCTION__)>
#define LD_FUNCTION_NAME (LD_PRETTY_NAME_HOLDER::narrow)
#define LD_FUNCTION_NAME_W (LD_PRETTY_NAME_HOLDER::wide)
#endif

#define LD_FILE_W LD_WIDEN(__FILE__)

// The location of the site that expands it.
#define LD_SOURCE_LOCATION (SourceLocation(__FILE__, LD_FUNCTION_NAME, __LINE__))
