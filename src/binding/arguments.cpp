#include "arguments.hpp"

#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "call_scope.hpp"

namespace quorlin {

namespace {

const char *plural(std::size_t count, const char *one, const char *many)
{
    return count == 1 ? one : many;
}

// ParameterName::name_head at run time, with a few loads instead of a loop.
std::uint64_t keyword_head(const char *data, std::size_t size)
{
    if constexpr (std::endian::native != std::endian::little)
        return ParameterName::name_head(data, size);
    std::uint64_t head = 0;
    auto *out = reinterpret_cast<unsigned char *>(&head);
    if (size >= 8) {
        std::memcpy(out, data, 8);
        return head;
    }
    std::size_t done = 0;
    if (size & 4) {
        std::memcpy(out, data, 4);
        done = 4;
    }
    if (size & 2) {
        std::memcpy(out + done, data + done, 2);
        done += 2;
    }
    if (size & 1)
        out[done] = static_cast<unsigned char>(data[done]);
    return head;
}

// Lengths first, then the packed first eight bytes, then the rest.
bool names_equal(const ParameterName &name, const char *data, std::size_t size,
                 std::uint64_t head)
{
    return name.text.size() == size && name.head == head &&
           (size <= 8 ||
            std::memcmp(name.text.data() + 8, data + 8, size - 8) == 0);
}

// A keyword name's UTF-8 form. Exact, compact ASCII strings (what the
// compiler and the interpreter make for keyword names) are read in place;
// anything else goes through PyUnicode_AsUTF8AndSize.
const char *keyword_utf8(PyObject *name, Py_ssize_t *size)
{
#ifndef Py_LIMITED_API
    if (PyUnicode_CheckExact(name) && PyUnicode_IS_COMPACT_ASCII(name))
        [[likely]] {
        *size = PyUnicode_GET_LENGTH(name);
        return static_cast<const char *>(PyUnicode_DATA(name));
    }
#endif
    return PyUnicode_AsUTF8AndSize(name, size);
}

// Error paths are kept out of line so the binding loop stays small.
[[gnu::cold, gnu::noinline]] ErrorValue
too_many_positional(const ArgumentTable &table, Py_ssize_t nargs)
{
    std::size_t count = table.parameter_names.size();
    std::string message = display_name(table) + " takes ";
    if (table.required_count == count) {
        message += std::to_string(count);
    } else {
        message += "from " + std::to_string(table.required_count) + " to " +
                   std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(nargs) + " " +
               plural(static_cast<std::size_t>(nargs), "was", "were") +
               " given";
    return type_error(message);
}

[[gnu::cold, gnu::noinline]] ErrorValue
multiple_values(const ArgumentTable &table, std::string_view name)
{
    std::string message =
        display_name(table) + " got multiple values for argument '";
    message.append(name);
    message += "'";
    return type_error(message);
}

[[gnu::cold, gnu::noinline]] ErrorValue
unexpected_keyword(const ArgumentTable &table, PyObject *name)
{
    Result<std::string> text = lossy_text(name);
    if (!text.ok())
        return text.take_error();
    std::string message = display_name(table) +
                          " got an unexpected keyword argument '" +
                          text.value() + "'";
    return type_error(message);
}

[[gnu::cold, gnu::noinline]] ErrorValue
name_list_error(const ArgumentTable &table, const char *what,
                std::span<const std::string_view> names)
{
    std::string message = display_name(table) + what;
    append_name_list(message, names);
    return type_error(message);
}

[[gnu::cold, gnu::noinline]] ErrorValue
missing_error(const ArgumentTable &table, const char *kind,
              const std::vector<std::string_view> &names)
{
    std::string message = display_name(table) + " missing " +
                          std::to_string(names.size()) + " required " + kind +
                          " " + plural(names.size(), "argument", "arguments") +
                          ": ";
    append_name_list(message, names);
    return type_error(message);
}

[[gnu::cold, gnu::noinline]] ErrorValue
missing_positional(const ArgumentTable &table, PyObject *const *slots)
{
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < table.required_count; ++i)
        if (slots[i] == nullptr)
            missing.push_back(table.parameter_names[i].text);
    return missing_error(table, "positional", missing);
}

[[gnu::cold, gnu::noinline]] ErrorValue
missing_keyword(const ArgumentTable &table, PyObject *const *slots)
{
    std::size_t first = table.parameter_names.size();
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < table.keyword_only.size(); ++i)
        if (table.keyword_only[i].required && slots[first + i] == nullptr)
            missing.push_back(table.keyword_only[i].name.text);
    return missing_error(table, "keyword", missing);
}

// Matches the keywords. The list of positional-only names given by keyword
// gets storage only when its first name arrives.
ErrorValue bind_keywords(const ArgumentTable &table, PyObject *const *values,
                         PyObject *kwnames, PyObject **slots)
{
    std::size_t first_keyword_only = table.parameter_names.size();
    std::unique_ptr<std::vector<std::string_view>> positional_only_given;
    Py_ssize_t count = tuple_size(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject *name = tuple_item(kwnames, k);
        PyObject *value = values[k];
        if (!PyUnicode_Check(name)) [[unlikely]]
            return type_mismatch_error(name, "PyString");
        Py_ssize_t size = 0;
        const char *utf8 = keyword_utf8(name, &size);
        if (utf8 == nullptr) [[unlikely]] {
            discard_pending();
            return unexpected_keyword(table, name);
        }

        const std::size_t length = static_cast<std::size_t>(size);
        const std::uint64_t head = keyword_head(utf8, length);
        bool matched = false;
        for (std::size_t i = 0; i < table.keyword_only.size(); ++i) {
            if (!names_equal(table.keyword_only[i].name, utf8, length, head))
                continue;
            PyObject *&slot = slots[first_keyword_only + i];
            if (slot != nullptr)
                return multiple_values(table, {utf8, std::size_t(size)});
            slot = value;
            matched = true;
            break;
        }
        if (matched)
            continue;
        for (std::size_t i = 0; i < table.parameter_names.size(); ++i) {
            if (!names_equal(table.parameter_names[i], utf8, length, head))
                continue;
            if (i < table.positional_only_count) {
                if (!positional_only_given)
                    positional_only_given =
                        std::make_unique<std::vector<std::string_view>>();
                positional_only_given->push_back(
                    table.parameter_names[i].text);
            } else {
                if (slots[i] != nullptr)
                    return multiple_values(table, {utf8, std::size_t(size)});
                slots[i] = value;
            }
            matched = true;
            break;
        }
        if (!matched)
            return unexpected_keyword(table, name);
    }
    if (positional_only_given)
        return name_list_error(
            table,
            " got some positional-only arguments passed as keyword "
            "arguments: ",
            *positional_only_given);
    return ErrorValue();
}

}  // namespace

ErrorValue bind_arguments_in_full(const ArgumentTable &table,
                                  PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames, PyObject **slots)
{
    const std::size_t positional = static_cast<std::size_t>(nargs);
    if (positional > table.parameter_names.size()) [[unlikely]]
        return too_many_positional(table, nargs);
    for (std::size_t i = 0; i < positional; ++i)
        slots[i] = args[i];
    if (kwnames != nullptr) {
        ErrorValue error = bind_keywords(table, args + nargs, kwnames, slots);
        if (error)
            return error;
    }
    for (std::size_t i = positional; i < table.required_count; ++i)
        if (slots[i] == nullptr) [[unlikely]]
            return missing_positional(table, slots);
    std::size_t first_keyword_only = table.parameter_names.size();
    for (std::size_t i = 0; i < table.keyword_only.size(); ++i)
        if (table.keyword_only[i].required &&
            slots[first_keyword_only + i] == nullptr) [[unlikely]]
            return missing_keyword(table, slots);
    return ErrorValue();
}

std::string display_name(const ArgumentTable &table)
{
    std::string name;
    if (!table.owner_name.empty()) {
        name.append(table.owner_name);
        name += '.';
    }
    name.append(table.python_name);
    name += "()";
    return name;
}

void append_name_list(std::string &message,
                      std::span<const std::string_view> names)
{
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2)
                message += ',';
            message += i + 1 == names.size() ? " and " : " ";
        }
        message += '\'';
        message.append(names[i]);
        message += '\'';
    }
}

void fail_formatting()
{
    fail_contract("formatting an error message failed");
}

bool is_memory_error(ErrorValue &error)
{
    return PyErr_GivenExceptionMatches(error.exception_type(),
                                       PyExc_MemoryError);
}

ErrorValue type_mismatch_error(PyObject *object, std::string_view target)
{
    PyObject *attribute =
        register_owned(PyUnicode_FromStringAndSize("__qualname__", 12));
    PyObject *qualname = PyObject_GetAttr(
        reinterpret_cast<PyObject *>(Py_TYPE(object)), attribute);
    if (qualname == nullptr) {
        ErrorValue lookup_error = fetch_pending();
        if (is_memory_error(lookup_error))
            return lookup_error;
        fail_formatting();
    }
    register_owned(qualname);
    if (!PyUnicode_Check(qualname))
        fail_formatting();
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(qualname, &size);
    if (utf8 == nullptr) {
        ErrorValue encoding_error = fetch_pending();
        if (is_memory_error(encoding_error))
            return encoding_error;
        fail_formatting();
    }
    std::string message = "'";
    message.append(utf8, static_cast<std::size_t>(size));
    message += "' object cannot be converted to '";
    message.append(target);
    message += "'";
    return type_error(message);
}

Result<std::string> lossy_text(PyObject *object)
{
    PyObject *text = PyObject_Str(object);
    if (text == nullptr) {
        ErrorValue str_error = fetch_pending();
        if (is_memory_error(str_error))
            return str_error;
        fail_formatting();
    }
    register_owned(text);
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 != nullptr)
        return std::string(utf8, static_cast<std::size_t>(size));

    // Lone surrogates: encode them as they are, then let the decoder
    // replace what is not well-formed UTF-8.
    {
        ErrorValue encoding_error = fetch_pending();
        if (is_memory_error(encoding_error))
            return encoding_error;
    }
    PyObject *bytes = register_owned(
        PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    return decode_utf8_lossy({PyBytes_AsString(bytes),
                              static_cast<std::size_t>(PyBytes_Size(bytes))});
}

std::string decode_utf8_lossy(std::string_view bytes)
{
    static constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    auto byte = [&](std::size_t i) {
        return static_cast<unsigned char>(bytes[i]);
    };
    std::size_t i = 0;
    while (i < bytes.size()) {
        unsigned char lead = byte(i);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0;
            else if (lead == 0xED)
                high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90;
            else if (lead == 0xF4)
                high = 0x8F;
        } else {
            out += REPLACEMENT;
            ++i;
            continue;
        }
        // The maximal subpart: as many continuation bytes as stay valid.
        std::size_t taken = 1;
        while (taken < length && i + taken < bytes.size()) {
            unsigned char next = byte(i + taken);
            unsigned char lo = taken == 1 ? low : 0x80;
            unsigned char hi = taken == 1 ? high : 0xBF;
            if (next < lo || next > hi)
                break;
            ++taken;
        }
        if (taken == length)
            out.append(bytes.substr(i, length));
        else
            out += REPLACEMENT;
        i += taken;
    }
    return out;
}

}  // namespace quorlin
