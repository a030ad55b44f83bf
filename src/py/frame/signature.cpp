#include "py/frame/signature.hpp"

#include <cstring>
#include <vector>

#include "core/error.hpp"
#include "py/frame/errors.hpp"
#include "py/frame/interned.hpp"
#include "py/frame/ref.hpp"

namespace qsc::py {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

QSC_COLD bool fail_missing(const char* qualname, const char* kind, const std::vector<std::string_view>& names) {
    std::string message = std::string(qualname) + " missing " + std::to_string(names.size()) + " required " + kind +
                          (names.size() == 1 ? " argument: " : " arguments: ") + quoted_list(names);
    raise_type_error(message);
    return false;
}

QSC_COLD bool fail_positional_count(const char* qualname, int lo, int hi, Py_ssize_t given) {
    std::string message = std::string(qualname) + " takes ";
    message += lo == hi ? std::to_string(hi) : "from " + std::to_string(lo) + " to " + std::to_string(hi);
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise_type_error(message);
    return false;
}

QSC_COLD bool fail_keyword(const char* qualname, const char* what, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s %s '%U'", qualname, what, keyword);
    return false;
}

}  // namespace

Signature::Signature(Callable kind, std::string_view owner, std::string_view text, std::string_view body,
                     ExtraKeywords extra)
    : extra_(extra) {
    const std::size_t open = text.find('(');
    QSC_ASSERT(open != std::string_view::npos && text.back() == ')', "malformed text signature");
    name_ = std::string(text.substr(0, open));
    switch (kind) {
        case Callable::Function: qualname_ = name_ + "()"; break;
        case Callable::Method: qualname_ = std::string(owner) + "." + name_ + "()"; break;
        case Callable::Constructor: qualname_ = std::string(owner) + ".__new__()"; break;
    }
    doc_ = std::string(text) + "\n--\n\n" + std::string(body);

    std::string_view list = text.substr(open + 1, text.size() - open - 2);
    bool keyword_only = false;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view item = trim(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        if (item == "$self" || item.empty()) continue;
        if (item == "*") {
            keyword_only = true;
            continue;
        }
        if (item == "/") {
            for (int i = 0; i < count_; ++i) params_[i].positional_only = true;
            continue;
        }
        QSC_ASSERT(count_ < kMaxParams, "too many parameters");
        Param& p = params_[count_++];
        const std::size_t eq = item.find('=');
        p.name = eq == std::string_view::npos ? item : item.substr(0, eq);
        p.slot = cache::add_string(p.name);
        p.required = eq == std::string_view::npos;
        p.keyword_only = keyword_only;
        if (!keyword_only) {
            ++max_positional_;
            if (p.required) ++min_positional_;
            QSC_ASSERT(!p.required || min_positional_ == max_positional_, "a required parameter after a default");
        } else if (p.required) {
            required_keywords_ = true;
        }
    }
}

int Signature::find(PyObject* keyword) const {
    const ModuleState& s = state();
    for (int i = 0; i < count_; ++i)
        if (s.cached(params_[i].slot) == keyword) return i;
    // Names built at run time are not interned.
    for (int i = 0; i < count_; ++i)
        if (PyUnicode_Compare(keyword, s.cached(params_[i].slot)) == 0) return i;
    PyErr_Clear();
    return -1;
}

bool Signature::missing(PyObject** out) const {
    std::vector<std::string_view> positional, keyword;
    for (int i = 0; i < count_; ++i) {
        if (out[i] || !params_[i].required) continue;
        (params_[i].keyword_only ? keyword : positional).push_back(params_[i].name);
    }
    if (!positional.empty()) return fail_missing(qualname(), "positional", positional);
    if (!keyword.empty()) return fail_missing(qualname(), "keyword", keyword);
    return true;
}

bool Signature::match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
    if (nargs > max_positional_) return fail_positional_count(qualname(), min_positional_, max_positional_, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (int i = static_cast<int>(nargs); i < count_; ++i) out[i] = nullptr;
    if (!kwnames) {
        // The fast path: the required parameters are the leading positional ones.
        if (nargs >= min_positional_ && !required_keywords_) return true;
        return missing(out);
    }
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    std::vector<PyObject*> positional_only;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const int i = find(keyword);
        if (i >= 0 && params_[i].positional_only) {
            positional_only.push_back(keyword);
            continue;
        }
        if (i < 0) {
            if (extra_ == ExtraKeywords::Collect) continue;
            return fail_keyword(qualname(), "got an unexpected keyword argument", keyword);
        }
        if (out[i]) return fail_keyword(qualname(), "got multiple values for argument", keyword);
        out[i] = args[nargs + k];
    }
    if (!positional_only.empty()) {
        std::vector<std::string_view> names;
        for (PyObject* keyword : positional_only) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
            if (!utf8) return false;
            names.emplace_back(utf8, static_cast<std::size_t>(size));
        }
        raise_type_error(std::string(qualname()) +
                         " got some positional-only arguments passed as keyword arguments: " + quoted_list(names));
        return false;
    }
    return missing(out);
}

}  // namespace qsc::py
