#pragma once
// A parameter list written once, in Python's own notation, as the template
// arguments of a declaration:
//
//   "key", "ordering=None", "wait=True", "*args", "**kwargs", "/"
//
// From it come the names argument binding matches, how many parameters are
// required, which are keyword-only (those after "*name"), the defaults of
// plain parameters, and the text signature, all at compile time.

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace torvan::binding {

// A string literal usable as a template argument.
template <std::size_t N>
struct Literal {
    char text[N]{};
    constexpr Literal(const char (&literal)[N]) { std::copy_n(literal, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// One entry of a parameter list.
struct ParameterText {
    enum class Kind { Named, VarArgs, VarKwargs, PositionalMarker };
    Kind kind = Kind::Named;
    std::string_view name;
    std::string_view default_text;  // after '=', empty when the parameter is required

    constexpr bool has_default() const { return !default_text.empty(); }
};

constexpr ParameterText parse_parameter(std::string_view text) {
    ParameterText parameter;
    if (text == "/") {
        parameter.kind = ParameterText::Kind::PositionalMarker;
        return parameter;
    }
    if (text.starts_with("**")) {
        parameter.kind = ParameterText::Kind::VarKwargs;
        text.remove_prefix(2);
    } else if (text.starts_with("*")) {
        parameter.kind = ParameterText::Kind::VarArgs;
        text.remove_prefix(1);
    }
    // By index: the sanitizers' checks make library searches that compare
    // pointers no longer constant expressions.
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=') {
            parameter.default_text = text.substr(i + 1);
            text = text.substr(0, i);
            break;
        }
    }
    parameter.name = text;
    return parameter;
}

// A default written for a plain bool or integer parameter, read at compile time.
template <class T>
constexpr T parse_default(std::string_view text) {
    if constexpr (std::is_same_v<T, bool>) {
        return text == "True";
    } else {
        static_assert(std::is_integral_v<T>, "a plain parameter's default is a bool or an integer");
        bool negative = text.starts_with('-');
        T value = 0;
        for (char digit : text.substr(negative ? 1 : 0)) {
            value = static_cast<T>(value * 10 + (digit - '0'));
        }
        return negative ? static_cast<T>(-value) : value;
    }
}

template <class T>
constexpr bool is_default_of(std::string_view text) {
    if constexpr (std::is_same_v<T, bool>) {
        return text == "True" || text == "False";
    } else if constexpr (std::is_integral_v<T>) {
        std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
        return !digits.empty() && std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; });
    } else {
        return false;
    }
}

template <Literal... Pieces>
struct ParameterList {
    // Every entry, the "/" marker included, in the order written.
    static constexpr std::array<ParameterText, sizeof...(Pieces)> entries{parse_parameter(Pieces.view())...};

    static constexpr std::size_t count_of(ParameterText::Kind kind) {
        return static_cast<std::size_t>(
            std::ranges::count_if(entries, [kind](const ParameterText& p) { return p.kind == kind; }));
    }
    static constexpr std::size_t named_count = count_of(ParameterText::Kind::Named);
    static constexpr bool varargs = count_of(ParameterText::Kind::VarArgs) == 1;
    static constexpr bool varkw = count_of(ParameterText::Kind::VarKwargs) == 1;

    // The parameters of the body, in its order: the entries without the marker.
    static constexpr std::size_t parameter_count = sizeof...(Pieces) - count_of(ParameterText::Kind::PositionalMarker);
    static constexpr std::array<ParameterText, parameter_count> parameters = [] {
        std::array<ParameterText, parameter_count> result{};
        std::size_t next = 0;
        for (const ParameterText& p : entries) {
            if (p.kind != ParameterText::Kind::PositionalMarker) {
                result[next++] = p;
            }
        }
        return result;
    }();

    // The names binding matches: the named parameters, positional ones first.
    static constexpr std::array<std::string_view, named_count> names = [] {
        std::array<std::string_view, named_count> result{};
        std::size_t next = 0;
        for (const ParameterText& p : parameters) {
            if (p.kind == ParameterText::Kind::Named) {
                result[next++] = p.name;
            }
        }
        return result;
    }();

    // Named parameters before "*name" take positional arguments; the rest are keyword-only.
    static constexpr std::size_t positional_count = [] {
        std::size_t count = 0;
        for (const ParameterText& p : parameters) {
            if (p.kind != ParameterText::Kind::Named) {
                break;
            }
            ++count;
        }
        return count;
    }();

    static constexpr std::size_t required = [] {
        std::size_t count = 0;
        while (count < positional_count && !parameters[count].has_default()) {
            ++count;
        }
        return count;
    }();

    static constexpr bool well_formed() {
        bool seen_default = false;
        std::size_t collectors_seen = 0;
        for (std::size_t i = 0; i < parameter_count; ++i) {
            const ParameterText& p = parameters[i];
            if (p.kind != ParameterText::Kind::Named) {
                ++collectors_seen;
                if (p.has_default() || (p.kind == ParameterText::Kind::VarKwargs && i + 1 != parameter_count)) {
                    return false;
                }
                continue;
            }
            if (collectors_seen > 0 && !p.has_default()) {
                return false;  // keyword-only parameters all have defaults
            }
            if (i < positional_count) {
                if (seen_default && !p.has_default()) {
                    return false;  // no required parameter after one with a default
                }
                seen_default = seen_default || p.has_default();
            }
        }
        return varargs || !varkw || positional_count == named_count;
    }
    static_assert(well_formed(), "a parameter list reads as a Python signature: required first, *args, **kwargs last");

    // "(a, b=None, *args)" or, for a method, "($self, a, b=None, *args)".
    template <bool Method>
    static constexpr auto signature() {
        constexpr std::size_t size = [] {
            std::size_t separators = Method ? sizeof...(Pieces) : (sizeof...(Pieces) > 0 ? sizeof...(Pieces) - 1 : 0);
            return 2 + (Method ? 5 : 0) + 2 * separators + (std::size_t{0} + ... + Pieces.view().size());
        }();
        std::array<char, size + 1> text{};
        std::size_t at = 0;
        auto append = [&](std::string_view part) {
            for (char c : part) {
                text[at++] = c;
            }
        };
        append("(");
        if constexpr (Method) {
            append("$self");
        }
        bool first = !Method;
        constexpr std::array<std::string_view, sizeof...(Pieces)> pieces{Pieces.view()...};
        for (std::string_view piece : pieces) {
            append(first ? "" : ", ");
            append(piece);
            first = false;
        }
        append(")");
        return text;
    }
};

}  // namespace torvan::binding
