// ErrorValue: a Python exception waiting to be raised, the one carrier of
// exceptions between the module's operations. Errors the module makes stay
// deferred: no interpreter object exists until the error is raised or
// inspected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "../failure/contract.hpp"
#include "python.hpp"

namespace quorlin {

// Returns a borrowed exception class; called with the interpreter lock held.
// Null with an exception pending means the interpreter could not make the
// class (it is out of memory); null with none pending is not a class.
using TypeGetter = PyObject *(*)();

// One-shot maker of an exception's argument object. Owns its text when the
// text was composed at run time.
class ValueBuilder {
  public:
    enum class Kind : std::uint8_t {
        None,
        Text,            // static text -> str
        OwnedText,       // composed text -> str
        OwnedTextTuple,  // composed text -> (str,)
        FixedTextTuple,  // static text -> (str,)
    };

    ValueBuilder() noexcept = default;
    ValueBuilder(ValueBuilder &&other) noexcept { *this = std::move(other); }
    ValueBuilder &operator=(ValueBuilder &&other) noexcept;
    ~ValueBuilder()
    {
        if (kind_ != Kind::None)
            discard();
    }

    static ValueBuilder text(std::string_view fixed) noexcept;
    static ValueBuilder owned_text(std::string_view message);
    static ValueBuilder owned_text_tuple(std::string_view message);
    static ValueBuilder fixed_text_tuple(std::string_view fixed) noexcept;

    // New reference to the argument object; the builder is spent. Null
    // with the interpreter's error (a MemoryError) pending when the
    // interpreter cannot make it.
    PyObject *build();
    // Destroy without building, freeing what it owns.
    void discard() noexcept;

  private:
    Kind kind_ = Kind::None;
    const char *text_ = nullptr;
    std::size_t length_ = 0;
};

// Empty (no error) is a null pointer: an ErrorValue costs one word and
// nothing to destroy on the success path; the state lives on the heap and
// is made only when an error is.
class [[nodiscard]] ErrorValue {
  public:
    enum class State : std::uint8_t {
        Empty,  // no error: "nothing", success, or moved from
        DeferredType,
        DeferredValue,
        RawTriple,
        Normalized,
        Normalizing,
    };

    // Borrowed view of the three parts; owned by the ErrorValue.
    struct Parts {
        PyObject *type;
        PyObject *value;
        PyObject *traceback;
    };

    ErrorValue() noexcept = default;
    ErrorValue(ErrorValue &&other) noexcept
        : data_(std::exchange(other.data_, nullptr))
    {
    }
    ErrorValue &operator=(ErrorValue &&other) noexcept
    {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
        }
        return *this;
    }
    ErrorValue(const ErrorValue &) = delete;
    ErrorValue &operator=(const ErrorValue &) = delete;
    ~ErrorValue() { release(); }

    static ErrorValue deferred_type(TypeGetter getter, ValueBuilder builder);
    // Takes ownership of `type`.
    static ErrorValue deferred_value(PyObject *type, ValueBuilder builder);
    // Takes ownership of all three (value and traceback may be null).
    static ErrorValue raw_triple(PyObject *type, PyObject *value,
                                 PyObject *traceback);
    // Any object, borrowed: an instance, a class, or anything else (which
    // becomes "exceptions must derive from BaseException").
    static ErrorValue from_object(PyObject *object);

    explicit operator bool() const noexcept { return data_ != nullptr; }
    State state() const noexcept
    {
        return data_ ? data_->state : State::Empty;
    }

    // Materialise the exception and return its parts (borrowed).
    const Parts &normalized();
    // The exception's class (borrowed); a DeferredType is normalised first.
    PyObject *exception_type();
    // The instance's __cause__, or an empty ErrorValue.
    ErrorValue cause();
    // Make `cause`'s instance (or nothing) this exception's __cause__.
    void set_cause(ErrorValue cause);
    // Consume into three owned references for restore_exception.
    Parts into_triple() &&;
    // Consume into the interpreter's pending exception. If the interpreter
    // cannot allocate what the exception needs, its own MemoryError is the
    // pending exception instead.
    void restore() &&;
    // "PyErr { type: T, value: V, traceback: B }".
    std::string describe();

  private:
    struct Data {
        State state;
        TypeGetter type_getter;
        Parts parts;
        ValueBuilder builder;
        ~Data();
    };

    static ErrorValue make(State state, TypeGetter getter, Parts parts,
                           ValueBuilder builder);
    // Empties `data` into three owned references; false, with the
    // interpreter's error pending, when it cannot allocate them.
    static bool consume(Data &data, Parts &parts);
    void release() noexcept
    {
        if (data_ != nullptr) [[unlikely]]
            destroy();
    }
    void destroy() noexcept;

    Data *data_ = nullptr;
};

// Success with a value, or an ErrorValue. An empty ErrorValue is success.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) noexcept : value_(std::move(value)) {}
    Result(ErrorValue error) noexcept : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_; }
    T &value() noexcept { return value_; }
    ErrorValue take_error() noexcept { return std::move(error_); }

  private:
    T value_{};
    ErrorValue error_;
};

// The interpreter's pending exception, or an empty ErrorValue when none is
// pending. A pending PanicException is resumed as a contract failure.
ErrorValue take_pending();
// Like take_pending, but SystemError "attempted to fetch exception but none
// was set" when nothing is pending. Answers an interpreter call that
// reported failure.
ErrorValue fetch_pending();

// Drops the interpreter's pending exception on purpose, where the caller
// answers the failure another way. Like take_pending, it resumes a pending
// PanicException rather than dropping it.
void discard_pending();

// A deferred TypeError / OverflowError carrying a composed message.
ErrorValue type_error(std::string_view message);
ErrorValue overflow_error(std::string_view message);
ErrorValue value_error(std::string_view message);

// A captured contract failure as a deferred PanicException.
ErrorValue error_from_failure(const ContractFailure &failure);
// A failure whose payload is not text.
ErrorValue error_from_unknown_failure();

// The PanicException class (borrowed), created on first use and kept for
// the life of the process.
PyObject *panic_exception_type();
// The same, or null with the interpreter's error pending when the class
// cannot be created: the type getter of a PanicException being raised.
PyObject *panic_exception_type_or_null();

// A new exception class (strong reference) or the interpreter's error.
Result<PyObject *> new_exception_type(std::string_view name,
                                      const std::string_view *doc,
                                      PyObject *base, PyObject *dict);

}  // namespace quorlin
