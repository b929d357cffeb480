#include "error_value.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "../failure/platform.hpp"
#include "../failure/report.hpp"
#include "call_scope.hpp"
#include "exception_state.hpp"

namespace quorlin {

namespace {

constexpr std::string_view NOT_AN_EXCEPTION =
    "exceptions must derive from BaseException";
constexpr std::string_view NOTHING_PENDING =
    "attempted to fetch exception but none was set";
constexpr std::string_view UNWRAPPED_PANIC =
    "Unwrapped panic from Python code";
// A failure whose payload is not text: exactly 20 characters.
constexpr std::string_view NON_TEXT_FAILURE = "native code panicked";

constexpr const char PANIC_NAME[] = "pyo3_runtime.PanicException";
constexpr std::string_view PANIC_DOC =
    "\n"
    "Raised when native code called from Python breaks an internal check.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, not from Exception, so\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "interpreter to exit.\n";
static_assert(PANIC_DOC.size() == 235);

// Never released: the class lives as long as the process. Atomic because
// threads may race to fill it where there is no interpreter lock (and a
// nested call may fill it while the class is being made): the first class
// stored wins, the others are released, and every thread sees that one.
std::atomic<PyObject *> panic_type_slot{nullptr};

PyObject *get_type_error()
{
    return PyExc_TypeError;
}
PyObject *get_overflow_error()
{
    return PyExc_OverflowError;
}
PyObject *get_value_error()
{
    return PyExc_ValueError;
}
PyObject *get_system_error()
{
    return PyExc_SystemError;
}

char *copy_text(std::string_view text)
{
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy == nullptr)
        fail_allocation(text.size() + 1);
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

void release_if(PyObject *object) noexcept
{
    if (object != nullptr)
        release_ref(object);
}

// Text of repr(object) for diagnostics; never fails.
std::string repr_text(PyObject *object)
{
    PyObject *repr = PyObject_Repr(object);
    if (repr == nullptr) {
        PyErr_Clear();
        return "<unrepresentable object>";
    }
    register_owned(repr);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(repr, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return "<unrepresentable object>";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// Holds a fetched exception triple until it is handed on.
struct FetchedTriple {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    ~FetchedTriple()
    {
        release_if(traceback);
        release_if(value);
        release_if(type);
    }
};

[[noreturn]] void resume_panic(FetchedTriple &fetched)
{
    std::string message(UNWRAPPED_PANIC);
    if (fetched.value != nullptr && PyUnicode_Check(fetched.value)) {
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(fetched.value, &size);
        if (data != nullptr)
            message.assign(data, static_cast<std::size_t>(size));
        else
            PyErr_Clear();
    }
    write_stderr("quorlin: a PanicException raised by Python code reached "
                 "native code; resuming it as a native failure\n"
                 "Python stack trace below:\n");
    restore_exception(std::exchange(fetched.type, nullptr),
                      std::exchange(fetched.value, nullptr),
                      std::exchange(fetched.traceback, nullptr));
    PyErr_PrintEx(0);
    resume_contract_failure(std::move(message));
}

}  // namespace

// ---- ValueBuilder ---------------------------------------------------------

ValueBuilder &ValueBuilder::operator=(ValueBuilder &&other) noexcept
{
    if (this != &other) {
        discard();
        kind_ = std::exchange(other.kind_, Kind::None);
        text_ = std::exchange(other.text_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

ValueBuilder ValueBuilder::text(std::string_view fixed) noexcept
{
    ValueBuilder builder;
    builder.kind_ = Kind::Text;
    builder.text_ = fixed.data();
    builder.length_ = fixed.size();
    return builder;
}

ValueBuilder ValueBuilder::owned_text(std::string_view message)
{
    ValueBuilder builder;
    builder.kind_ = Kind::OwnedText;
    builder.text_ = copy_text(message);
    builder.length_ = message.size();
    return builder;
}

ValueBuilder ValueBuilder::owned_text_tuple(std::string_view message)
{
    ValueBuilder builder = owned_text(message);
    builder.kind_ = Kind::OwnedTextTuple;
    return builder;
}

ValueBuilder ValueBuilder::fixed_text_tuple(std::string_view fixed) noexcept
{
    ValueBuilder builder = text(fixed);
    builder.kind_ = Kind::FixedTextTuple;
    return builder;
}

void ValueBuilder::discard() noexcept
{
    if (kind_ == Kind::OwnedText || kind_ == Kind::OwnedTextTuple)
        std::free(const_cast<char *>(text_));
    kind_ = Kind::None;
    text_ = nullptr;
    length_ = 0;
}

PyObject *ValueBuilder::build()
{
    // Spent before anything can fail, so the text is freed exactly once.
    ValueBuilder spent = std::move(*this);
    PyObject *message = PyUnicode_FromStringAndSize(
        spent.text_, static_cast<Py_ssize_t>(spent.length_));
    if (message == nullptr)
        return nullptr;
    register_owned(message);
    Py_INCREF(message);
    if (spent.kind_ == Kind::Text || spent.kind_ == Kind::OwnedText)
        return message;
    PyObject *args = PyTuple_New(1);
    if (args == nullptr) {
        Py_DECREF(message);
        return nullptr;
    }
    PyTuple_SetItem(args, 0, message);
    return args;
}

// ---- ErrorValue -----------------------------------------------------------

ErrorValue::Data::~Data()
{
    release_if(parts.traceback);
    release_if(parts.value);
    release_if(parts.type);
}

void ErrorValue::destroy() noexcept
{
    delete std::exchange(data_, nullptr);
}

ErrorValue ErrorValue::make(State state, TypeGetter getter, Parts parts,
                            ValueBuilder builder)
{
    ErrorValue error;
    error.data_ = new Data{state, getter, parts, std::move(builder)};
    return error;
}

ErrorValue ErrorValue::deferred_type(TypeGetter getter, ValueBuilder builder)
{
    return make(State::DeferredType, getter, {nullptr, nullptr, nullptr},
                std::move(builder));
}

ErrorValue ErrorValue::deferred_value(PyObject *type, ValueBuilder builder)
{
    return make(State::DeferredValue, nullptr, {type, nullptr, nullptr},
                std::move(builder));
}

ErrorValue ErrorValue::raw_triple(PyObject *type, PyObject *value,
                                  PyObject *traceback)
{
    return make(State::RawTriple, nullptr, {type, value, traceback}, {});
}

ErrorValue ErrorValue::from_object(PyObject *object)
{
    if (PyExceptionInstance_Check(object)) {
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(object));
        Py_INCREF(type);
        Py_INCREF(object);
        return make(State::Normalized, nullptr, {type, object, nullptr}, {});
    }
    if (PyExceptionClass_Check(object)) {
        Py_INCREF(object);
        return raw_triple(object, nullptr, nullptr);
    }
    Py_INCREF(PyExc_TypeError);
    return deferred_value(PyExc_TypeError,
                          ValueBuilder::text(NOT_AN_EXCEPTION));
}

// On a failure part-way, what `data` still holds is released with it.
bool ErrorValue::consume(Data &data, Parts &parts)
{
    switch (data.state) {
    case State::DeferredType: {
        PyObject *type = data.type_getter();
        if (type == nullptr && PyErr_Occurred())
            return false;
        if (type == nullptr || !PyExceptionClass_Check(type)) {
            PyObject *type_error = PyExc_TypeError;
            if (type_error == nullptr)
                api_call_failed();
            Py_INCREF(type_error);
            // The replaced builder is destroyed without being called.
            data.builder.discard();
            data.state = State::DeferredValue;
            data.parts.type = type_error;
            data.builder = ValueBuilder::text(NOT_AN_EXCEPTION);
            return consume(data, parts);
        }
        PyObject *value = data.builder.build();
        if (value == nullptr)
            return false;
        Py_INCREF(type);
        parts = {type, value, nullptr};
        return true;
    }
    case State::DeferredValue: {
        PyObject *value = data.builder.build();
        if (value == nullptr)
            return false;
        parts = {std::exchange(data.parts.type, nullptr), value, nullptr};
        return true;
    }
    case State::RawTriple:
    case State::Normalized:
        parts = std::exchange(data.parts, Parts{nullptr, nullptr, nullptr});
        return true;
    case State::Normalizing:
        fail_contract("Cannot restore a PyErr while normalizing it");
    case State::Empty:
        break;
    }
    fail_contract("Cannot restore an empty PyErr");
}

ErrorValue::Parts ErrorValue::into_triple() &&
{
    if (data_ == nullptr)
        fail_contract("Cannot restore an empty PyErr");
    Parts parts{nullptr, nullptr, nullptr};
    if (!consume(*data_, parts))
        api_call_failed();
    destroy();
    return parts;
}

void ErrorValue::restore() &&
{
    if (data_ == nullptr)
        fail_contract("Cannot restore an empty PyErr");
    Parts parts{nullptr, nullptr, nullptr};
    const bool made = consume(*data_, parts);
    destroy();
    // Out of memory while making the exception: the interpreter's
    // MemoryError is already pending and is what the caller gets.
    if (made)
        restore_exception(parts.type, parts.value, parts.traceback);
}

const ErrorValue::Parts &ErrorValue::normalized()
{
    if (data_ == nullptr)
        fail_contract("Cannot normalize an empty PyErr");
    Data &data = *data_;
    if (data.state == State::Normalized)
        return data.parts;
    if (data.state == State::Normalizing)
        fail_contract(
            "Cannot normalize a PyErr while already normalizing it.");
    // The previous state is taken out whole; while the interpreter works on
    // it this value reads as Normalizing, and stays so if that fails.
    Data previous{data.state, data.type_getter,
                  std::exchange(data.parts, Parts{nullptr, nullptr, nullptr}),
                  std::move(data.builder)};
    data.state = State::Normalizing;
    Parts parts{nullptr, nullptr, nullptr};
    // If the interpreter cannot make the exception, the error becomes its
    // MemoryError, as normalising does when it cannot make an instance.
    if (!consume(previous, parts))
        fetch_exception(&parts.type, &parts.value, &parts.traceback);
    normalize_exception(&parts.type, &parts.value, &parts.traceback);
    if (parts.type == nullptr) {
        release_if(parts.traceback);
        release_if(parts.value);
        fail_contract("Exception type missing");
    }
    if (parts.value == nullptr) {
        release_if(parts.traceback);
        release_ref(parts.type);
        fail_contract("Exception value missing");
    }
    data.parts = parts;
    data.state = State::Normalized;
    return data.parts;
}

PyObject *ErrorValue::exception_type()
{
    switch (state()) {
    case State::DeferredType:
        return normalized().type;
    case State::DeferredValue:
    case State::RawTriple:
    case State::Normalized:
        return data_->parts.type;
    case State::Normalizing:
        fail_contract("Cannot access exception type while normalizing");
    case State::Empty:
        break;
    }
    fail_contract("Cannot access the exception type of an empty PyErr");
}

ErrorValue ErrorValue::cause()
{
    PyObject *cause = PyException_GetCause(normalized().value);
    if (cause == nullptr)
        return ErrorValue();
    register_owned(cause);
    return from_object(cause);
}

void ErrorValue::set_cause(ErrorValue cause)
{
    PyObject *instance = normalized().value;
    PyObject *cause_instance = nullptr;
    if (cause) {
        cause_instance = cause.normalized().value;
        Py_INCREF(cause_instance);
        cause = ErrorValue();  // released here, before the interpreter call
    }
    PyException_SetCause(instance, cause_instance);
}

std::string ErrorValue::describe()
{
    const Parts &parts = normalized();
    std::string text = "PyErr { type: ";
    text += repr_text(parts.type);
    text += ", value: ";
    text += repr_text(parts.value);
    text += ", traceback: ";
    if (parts.traceback == nullptr) {
        text += "None";
    } else {
        text += "Some(";
        text += repr_text(parts.traceback);
        text += ")";
    }
    text += " }";
    return text;
}

// ---- the interpreter's pending exception ----------------------------------

ErrorValue take_pending()
{
    FetchedTriple fetched;
    fetch_exception(&fetched.type, &fetched.value, &fetched.traceback);
    if (fetched.type == nullptr)
        return ErrorValue();
    if (fetched.type == panic_exception_type())
        resume_panic(fetched);
    return ErrorValue::raw_triple(std::exchange(fetched.type, nullptr),
                                  std::exchange(fetched.value, nullptr),
                                  std::exchange(fetched.traceback, nullptr));
}

ErrorValue fetch_pending()
{
    ErrorValue error = take_pending();
    if (error)
        return error;
    return ErrorValue::deferred_type(get_system_error,
                                     ValueBuilder::text(NOTHING_PENDING));
}

void discard_pending()
{
    ErrorValue discarded = take_pending();
}

ErrorValue type_error(std::string_view message)
{
    return ErrorValue::deferred_type(get_type_error,
                                     ValueBuilder::owned_text(message));
}

ErrorValue overflow_error(std::string_view message)
{
    return ErrorValue::deferred_type(get_overflow_error,
                                     ValueBuilder::owned_text(message));
}

ErrorValue value_error(std::string_view message)
{
    return ErrorValue::deferred_type(get_value_error,
                                     ValueBuilder::owned_text(message));
}

// ---- contract failures as PanicException ----------------------------------

ErrorValue error_from_failure(const ContractFailure &failure)
{
    return ErrorValue::deferred_type(
        panic_exception_type_or_null,
        ValueBuilder::owned_text_tuple(failure.message()));
}

ErrorValue error_from_unknown_failure()
{
    return ErrorValue::deferred_type(
        panic_exception_type_or_null,
        ValueBuilder::fixed_text_tuple(NON_TEXT_FAILURE));
}

PyObject *panic_exception_type()
{
    PyObject *type = panic_exception_type_or_null();
    if (type == nullptr) [[unlikely]] {
        ErrorValue error = fetch_pending();
        fail_contract(
            std::string("Failed to initialize new exception type.: ") +
            error.describe());
    }
    return type;
}

PyObject *panic_exception_type_or_null()
{
    PyObject *stored = panic_type_slot.load(std::memory_order_acquire);
    if (stored != nullptr) [[likely]]
        return stored;
    PyObject *base = PyExc_BaseException;
    if (base == nullptr)
        api_call_failed();
    Result<PyObject *> created =
        new_exception_type(PANIC_NAME, &PANIC_DOC, base, nullptr);
    if (!created.ok()) {
        // The interpreter's error (it cannot allocate) goes back to pending.
        created.take_error().restore();
        return nullptr;
    }
    if (panic_type_slot.compare_exchange_strong(stored, created.value(),
                                                std::memory_order_acq_rel,
                                                std::memory_order_acquire))
        return created.value();
    // Another thread, or a call nested in the class's creation, stored
    // first: `stored` is now that class.
    release_ref(created.value());
    return stored;
}

Result<PyObject *> new_exception_type(std::string_view name,
                                      const std::string_view *doc,
                                      PyObject *base, PyObject *dict)
{
    if (name.find('\0') != std::string_view::npos)
        fail_contract("Failed to initialize nul terminated exception name");
    if (doc != nullptr && doc->find('\0') != std::string_view::npos)
        fail_contract("Failed to initialize nul terminated docstring");
    std::string name_copy(name);
    std::string doc_copy = doc ? std::string(*doc) : std::string();
    PyObject *type = PyErr_NewExceptionWithDoc(
        name_copy.c_str(), doc ? doc_copy.c_str() : nullptr, base, dict);
    if (type == nullptr)
        return fetch_pending();
    return type;
}

}  // namespace quorlin
