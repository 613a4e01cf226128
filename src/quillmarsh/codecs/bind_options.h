// Keyword options as data. Each class has one table of its options (the
// constructor's, shared with its one-shot function decode/encode); the
// nanobind argument lists, the rendered signatures, the forwarding from the
// one-shot function to the class and the table the stubs are checked against
// (_jxl._OPTIONS) all come from it. Adding an option is one row plus its use.
#pragma once

#include "bind_common.h"

#include <array>
#include <string>
#include <utility>

namespace qmjxl {

constexpr bool same_name(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// Default text that marks a required parameter.
constexpr const char *kRequired = "";

// The values of one call, in table order (a null handle: not a parameter of
// the callable that was called).
struct OptionArgs {
    const char *const *names;
    const nb::handle *values;
    size_t size;
    nb::handle operator[](const char *name) const {
        for (size_t i = 0; i < size; ++i)
            if (same_name(names[i], name)) return values[i];
        return {};
    }
};

template <class Owner>
struct Option {
    const char *name;
    const char *annotation;     // the parameter's type, as the stubs spell it
    const char *class_default;  // Python literal; nullptr: not a constructor parameter
    const char *call_default;   // the same for the one-shot function
    bool positional;            // positional-or-keyword (when the callable has no leading parameter)
    int step;                   // place in the constructor's validation order
    // Validates and stores the value; nullptr when another row's step handles it.
    void (*parse)(Owner &, nb::handle value, const OptionArgs &all);
};

// Position of the row `name` in `rows` (N when there is none).
template <class Owner, size_t N>
constexpr size_t option_index(const Option<Owner> (&rows)[N], const char *name) {
    for (size_t i = 0; i < N; ++i)
        if (same_name(rows[i].name, name)) return i;
    return N;
}

// The Python value of a default literal: None, True, False, an integer or a
// single-quoted string.
nb::object literal_value(const char *text);

// One parameter as the signature renderer sees it.
struct ParamText {
    const char *name, *annotation, *default_;
};
// "def name(self, a: T, *, b: T = 1) -> R", kept for the life of the process
// (nb::sig keeps the pointer).
const char *render_signature(const char *name, bool method, const ParamText *params,
                             size_t count, size_t positional, const char *ret);

// Replaces the nanobind callable `name` of `scope` by a plain function with
// its signature and docstring that forwards to it (see _forward.py), so that
// inspect.signature and Python's own argument errors see the parameters.
void expose_forwarder(nb::handle scope, const char *name, const std::string &qualname);

// Python-visible copy of a table: ((name, annotation, class_default,
// call_default, positional), ...), defaults None when absent.
template <class Owner, size_t N>
nb::tuple describe_options(const Option<Owner> (&rows)[N]) {
    auto text = [](const char *s) { return s ? nb::object(nb::str(s)) : nb::none(); };
    nb::list out;
    for (const auto &r : rows)
        out.append(nb::make_tuple(r.name, r.annotation, text(r.class_default),
                                  text(r.call_default), r.positional));
    return nb::tuple(out);
}

// Runs the rows' parse functions in step order.
template <class Owner, size_t N>
void parse_options(Owner &owner, const Option<Owner> (&rows)[N],
                   const std::array<nb::handle, N> &values) {
    const char *names[N];
    for (size_t i = 0; i < N; ++i) names[i] = rows[i].name;
    const OptionArgs all{names, values.data(), N};
    std::array<size_t, N> order;
    for (size_t i = 0; i < N; ++i) order[i] = i;
    for (size_t i = 1; i < N; ++i)  // insertion sort: tiny and stable
        for (size_t j = i; j > 0 && rows[order[j]].step < rows[order[j - 1]].step; --j)
            std::swap(order[j], order[j - 1]);
    for (size_t i : order)
        if (rows[i].parse) rows[i].parse(owner, values[i], all);
}

// ---- binding ---------------------------------------------------------------

template <class T, size_t>
using Repeat = T;

enum class Callable { Constructor, Function };

// The rows of `Rows` that a callable takes, in its parameter order: with no
// leading parameter of its own, positional rows come first.
template <const auto &Rows, Callable Which, size_t Leading>
struct ParamList {
    static constexpr size_t N = std::size(Rows);
    static constexpr const char *default_of(size_t i) {
        return Which == Callable::Constructor ? Rows[i].class_default : Rows[i].call_default;
    }
    static constexpr bool positional(size_t i) { return Leading == 0 && Rows[i].positional; }
    static constexpr size_t count() {
        size_t n = 0;
        for (size_t i = 0; i < N; ++i) n += default_of(i) != nullptr;
        return n;
    }
    static constexpr size_t positional_count() {
        size_t n = 0;
        for (size_t i = 0; i < N; ++i) n += default_of(i) != nullptr && positional(i);
        return n;
    }
    static constexpr std::array<size_t, count()> indices() {
        std::array<size_t, count()> out{};
        size_t k = 0;
        for (int pass = 0; pass < 2; ++pass)
            for (size_t i = 0; i < N; ++i)
                if (default_of(i) != nullptr && positional(i) == (pass == 0)) out[k++] = i;
        return out;
    }
    static constexpr std::array<size_t, count()> order = indices();

    // The nanobind argument of the k-th parameter: a required row has no default.
    template <size_t K>
    static auto arg() {
        constexpr size_t i = order[K];
        if constexpr (*default_of(i) == '\0') {
            return nb::arg(Rows[i].name).none();
        } else {
            return nb::arg(Rows[i].name).none() = literal_value(default_of(i));
        }
    }
    static const char *signature(const char *name, bool method,
                                 const std::array<ParamText, Leading> &leading, const char *ret) {
        std::array<ParamText, Leading + count()> p{};
        for (size_t i = 0; i < Leading; ++i) p[i] = leading[i];
        for (size_t k = 0; k < count(); ++k) {
            const auto &r = Rows[order[k]];
            p[Leading + k] = {r.name, r.annotation, default_of(order[k])};
        }
        return render_signature(name, method, p.data(), p.size(),
                                Leading + positional_count(), ret);
    }
};

// Binds `fn(lead..., values)` as `name` on `scope`. `Lead` are the types of
// the parameters before the table's (`JxlWriter *` for a constructor's self,
// nb::handle for encode's `arr`); `names` names those that are not self.
// `values` holds the table's parameters of `Which` in table order.
template <const auto &Rows, Callable Which, class... Lead, class Scope, class Fn, size_t NL,
          size_t... L, size_t... P, size_t... K>
void bind_options_impl(Scope &scope, const char *name, Fn fn,
                       const std::array<const char *, NL> &names, const char *sig,
                       const char *doc, std::index_sequence<L...>, std::index_sequence<P...>,
                       std::index_sequence<K...>) {
    using PL = ParamList<Rows, Which, NL>;
    constexpr size_t NP = sizeof...(P);
    auto call = [fn](Lead... lead, Repeat<nb::handle, P>... pos, Repeat<nb::handle, K>... kw) {
        std::array<nb::handle, std::size(Rows)> values{};
        const nb::handle given[] = {pos..., kw..., nb::handle()};
        for (size_t k = 0; k < PL::count(); ++k) values[PL::order[k]] = given[k];
        return fn(lead..., values);
    };
    scope.def(name, call, nb::arg(names[L]).none()..., PL::template arg<P>()..., nb::kw_only(),
              PL::template arg<NP + K>()..., nb::sig(sig), doc);
}

template <const auto &Rows, Callable Which, class... Lead, class Scope, class Fn, size_t NL>
void bind_options(Scope &scope, const char *name, Fn fn, const std::array<const char *, NL> &names,
                  const char *sig, const char *doc) {
    using PL = ParamList<Rows, Which, NL>;
    bind_options_impl<Rows, Which, Lead...>(
        scope, name, fn, names, sig, doc, std::make_index_sequence<NL>(),
        std::make_index_sequence<PL::positional_count()>(),
        std::make_index_sequence<PL::count() - PL::positional_count()>());
}

}  // namespace qmjxl
