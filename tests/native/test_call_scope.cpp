// The binding layer's mechanics that no Python call can reach: the release
// queue of threads with no frame open, frame nesting, and the ErrorValue
// states. Runs an embedded interpreter.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "binding/call_entry.hpp"
#include "binding/call_scope.hpp"
#include "binding/error_value.hpp"
#include "failure/contract.hpp"
#include "failure_of.hpp"

namespace {

using quorlin::CallFrame;
using quorlin::ContractFailure;
using quorlin::ErrorValue;
using quorlin::ValueBuilder;

class Interpreter : public ::testing::Environment {
  public:
    void SetUp() override { Py_InitializeEx(0); }
    void TearDown() override { Py_FinalizeEx(); }
};
const auto *const interpreter =
    ::testing::AddGlobalTestEnvironment(new Interpreter);

// A fresh list: a container nobody else refers to.
PyObject *new_object()
{
    return PyList_New(0);
}

std::string pending_text(const char *expected_type)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string text;
    if (type != nullptr) {
        EXPECT_STREQ(reinterpret_cast<PyTypeObject *>(type)->tp_name,
                     expected_type);
        PyObject *str = PyObject_Str(value);
        text = PyUnicode_AsUTF8(str);
        Py_DECREF(str);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return text;
}

TEST(CallScope, ReleaseWithNoFrameOpenWaitsForTheNextFrame)
{
    PyObject *object = new_object();
    Py_INCREF(object);
    ASSERT_EQ(Py_REFCNT(object), 2);
    // A thread that runs no module call: nothing can be released there.
    std::thread([object] { quorlin::release_ref(object); }).join();
    EXPECT_EQ(Py_REFCNT(object), 2);
    EXPECT_EQ(quorlin::pending_release_count(), 1u);
    {
        CallFrame frame;  // carried out on entry, on this other thread
        EXPECT_EQ(Py_REFCNT(object), 1);
        EXPECT_EQ(quorlin::pending_release_count(), 0u);
    }
    Py_DECREF(object);
}

TEST(CallScope, ReleaseInsideAFrameIsImmediate)
{
    PyObject *object = new_object();
    Py_INCREF(object);
    {
        CallFrame frame;
        quorlin::release_ref(object);
        EXPECT_EQ(Py_REFCNT(object), 1);
    }
    EXPECT_EQ(quorlin::pending_release_count(), 0u);
    Py_DECREF(object);
}

TEST(CallScope, NestedFramesReleaseOnlyTheirOwn)
{
    PyObject *outer_object = new_object();
    PyObject *inner_object = new_object();
    Py_INCREF(outer_object);
    Py_INCREF(inner_object);
    {
        CallFrame outer;
        EXPECT_EQ(quorlin::call_depth(), 1u);
        quorlin::register_owned(outer_object);
        {
            CallFrame inner;
            EXPECT_EQ(quorlin::call_depth(), 2u);
            quorlin::register_owned(inner_object);
        }
        EXPECT_EQ(Py_REFCNT(inner_object), 1);
        EXPECT_EQ(Py_REFCNT(outer_object), 2);
    }
    EXPECT_EQ(Py_REFCNT(outer_object), 1);
    EXPECT_EQ(quorlin::call_depth(), 0u);
    Py_DECREF(outer_object);
    Py_DECREF(inner_object);
}

TEST(CallScope, ManyTemporariesInOneFrame)
{
    // Past the first room of 256 entries and past the frame's small batch.
    std::vector<PyObject *> objects;
    for (int i = 0; i < 1000; ++i)
        objects.push_back(new_object());
    {
        CallFrame frame;
        for (PyObject *object : objects) {
            Py_INCREF(object);
            quorlin::register_owned(object);
        }
    }
    for (PyObject *object : objects) {
        EXPECT_EQ(Py_REFCNT(object), 1);
        Py_DECREF(object);
    }
}

TEST(CallScope, NullFromTheInterpreterIsAContractFailure)
{
    CallFrame frame;
    EXPECT_EQ(failure_of([] { quorlin::register_owned(nullptr); }),
              "Python API call failed");
}

// ---- ErrorValue ------------------------------------------------------------

PyObject *not_a_class()
{
    return Py_None;
}

TEST(ErrorValue, TypeGetterThatIsNotAnExceptionClassRaisesTypeError)
{
    PyObject *result = quorlin::run_call([] {
        return quorlin::Result<PyObject *>(ErrorValue::deferred_type(
            not_a_class, ValueBuilder::text("never shown")));
    });
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(pending_text("TypeError"),
              "exceptions must derive from BaseException");
}

TEST(ErrorValue, FetchWithNothingPendingIsSystemError)
{
    PyObject *result = quorlin::run_call(
        [] { return quorlin::Result<PyObject *>(quorlin::fetch_pending()); });
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(pending_text("SystemError"),
              "attempted to fetch exception but none was set");
}

TEST(ErrorValue, TakePendingWithNothingPendingIsEmpty)
{
    CallFrame frame;
    EXPECT_FALSE(quorlin::take_pending());
}

TEST(ErrorValue, StatesAndTheirOperations)
{
    CallFrame frame;
    ErrorValue error = quorlin::type_error("message");
    EXPECT_EQ(error.state(), ErrorValue::State::DeferredType);
    EXPECT_EQ(error.exception_type(), PyExc_TypeError);  // normalises
    EXPECT_EQ(error.state(), ErrorValue::State::Normalized);
    EXPECT_EQ(
        error.describe(),
        "PyErr { type: <class 'TypeError'>, value: TypeError('message'), "
        "traceback: None }");
    EXPECT_FALSE(error.cause());

    ErrorValue cause = ErrorValue::from_object(PyExc_KeyError);
    EXPECT_EQ(cause.state(), ErrorValue::State::RawTriple);
    error.set_cause(std::move(cause));
    ErrorValue read_back = error.cause();
    ASSERT_TRUE(read_back);
    EXPECT_EQ(read_back.state(), ErrorValue::State::Normalized);
    EXPECT_EQ(read_back.exception_type(), PyExc_KeyError);

    ErrorValue not_exception = ErrorValue::from_object(Py_None);
    EXPECT_EQ(not_exception.state(), ErrorValue::State::DeferredValue);
    EXPECT_EQ(not_exception.exception_type(), PyExc_TypeError);
}

TEST(ErrorValue, ContractFailureBecomesPanicException)
{
    PyObject *result = quorlin::run_call([]() -> quorlin::Result<PyObject *> {
        quorlin::fail_contract("assertion failed: example");
    });
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(pending_text("PanicException"), "assertion failed: example");
    EXPECT_EQ(quorlin::call_depth(), 0u);
}

TEST(ErrorValue, FailureWithoutTextGetsTheFallbackMessage)
{
    PyObject *result =
        quorlin::run_call([]() -> quorlin::Result<PyObject *> { throw 42; });
    EXPECT_EQ(result, nullptr);
    std::string message = pending_text("PanicException");
    EXPECT_EQ(message.size(), 20u);
    EXPECT_EQ(message, "native code panicked");
}

TEST(ErrorValue, PanicClassIsCreatedOnce)
{
    CallFrame frame;
    PyObject *first = quorlin::panic_exception_type();
    EXPECT_EQ(first, quorlin::panic_exception_type());
    EXPECT_TRUE(PyExceptionClass_Check(first));
    EXPECT_TRUE(PyObject_IsSubclass(first, PyExc_BaseException));
    EXPECT_FALSE(PyObject_IsSubclass(first, PyExc_Exception));
}

}  // namespace
