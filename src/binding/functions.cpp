#include "functions.hpp"

#include <string>

#include "call_scope.hpp"

namespace quorlin {

// ---- argument conversion ---------------------------------------------------

ErrorValue annotate_argument_error(std::string_view parameter_name,
                                   ErrorValue error)
{
    // Exactly TypeError: subclasses keep their own message.
    if (error.exception_type() != PyExc_TypeError)
        return error;
    Result<std::string> text = lossy_text(error.normalized().value);
    if (!text.ok())
        return text.take_error();
    std::string message = "argument '";
    message.append(parameter_name);
    message += "': ";
    message += text.value();
    ErrorValue annotated = type_error(message);
    // The cause carries over; the replaced exception is not chained.
    annotated.set_cause(error.cause());
    return annotated;
}

// ---- result conversion -----------------------------------------------------

PyObject *float32_to_python(float value)
{
    // Widening is exact: the caller sees the float32 value itself.
    PyObject *number =
        register_owned(PyFloat_FromDouble(static_cast<double>(value)));
    Py_INCREF(number);
    return number;
}

namespace {

// Releases a partly filled tuple if making an item fails.
class TupleUnderConstruction {
  public:
    explicit TupleUnderConstruction(Py_ssize_t size)
        : tuple_(PyTuple_New(size))
    {
        if (tuple_ == nullptr)
            api_call_failed();
    }
    ~TupleUnderConstruction()
    {
        if (tuple_ != nullptr)
            release_ref(tuple_);
    }
    void set(Py_ssize_t index, float value)
    {
        // A fresh tuple: the item's reference is stolen.
        fill_tuple(tuple_, index, float32_to_python(value));
    }
    PyObject *finish() noexcept { return std::exchange(tuple_, nullptr); }

  private:
    PyObject *tuple_;
};

}  // namespace

PyObject *lonlat_to_tuple(LonLat value)
{
    TupleUnderConstruction tuple(2);
    tuple.set(0, value.lon);
    tuple.set(1, value.lat);
    return tuple.finish();
}

PyObject *bounds_to_tuple(TileBounds value)
{
    TupleUnderConstruction tuple(4);
    tuple.set(0, value.west);
    tuple.set(1, value.south);
    tuple.set(2, value.east);
    tuple.set(3, value.north);
    return tuple.finish();
}

}  // namespace quorlin
