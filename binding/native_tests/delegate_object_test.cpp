// The link from a native delegate to its Python object, in an embedded interpreter: it finds
// what pybind11's registry finds, forgets an object that has gone, and a link destroyed on a
// thread without the GIL leaves its weak reference for the next holder of the GIL (for
// ThreadSanitizer's and AddressSanitizer's eyes).
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <memory>
#include <thread>

#include "delegate_object.h"
#include "fork_guard.h"

namespace py = pybind11;
using namespace ostrel_binding;

namespace {

struct Native {
    virtual ~Native() = default;
};

PYBIND11_EMBEDDED_MODULE(link_test, m) { py::class_<Native, std::shared_ptr<Native>>(m, "Native").def(py::init<>()); }

// A Python subclass of the bound class, made anew for each test.
py::object subclass() {
    py::dict scope;
    scope["Native"] = py::module_::import("link_test").attr("Native");
    py::exec("class Sub(Native):\n    pass\n", scope);
    return scope["Sub"];
}

long weak_references(const py::object& object) {
    return py::module_::import("weakref").attr("getweakrefcount")(object).cast<long>();
}

}  // namespace

TEST(DelegateObjectLink, FindsTheRegisteredObjectUntilItGoes) {
    py::object object = subclass()();
    PyTypeObject* const type = reinterpret_cast<PyTypeObject*>(py::type::of<Native>().ptr());
    const Native* native = object.cast<Native*>();
    DelegateObjectLink link;
    ASSERT_EQ(link.find(native, type), object.ptr());
    link.remember(object.ptr());
    EXPECT_EQ(weak_references(object), 1);
    link.remember(object.ptr());  // the same object: no second reference
    EXPECT_EQ(weak_references(object), 1);
    EXPECT_EQ(link.find(native, type), object.ptr());
    EXPECT_EQ(link.find(native, reinterpret_cast<PyTypeObject*>(&PyLong_Type)), object.ptr());  // the link's object

    object = py::object();  // the only reference: the object and its native part go
    EXPECT_EQ(link.find(native, type), nullptr);
}

TEST(DelegateObjectLink, WithoutTheGilTheReferenceIsReleasedLater) {
    py::object object = subclass()();
    auto link = std::make_unique<DelegateObjectLink>();
    link->remember(object.ptr());
    ASSERT_EQ(weak_references(object), 1);
    {
        py::gil_scoped_release nogil;
        std::thread([&link] { link.reset(); }).join();  // a thread Python has never seen
    }
    EXPECT_EQ(weak_references(object), 1);
    release_left_weak_references();
    EXPECT_EQ(weak_references(object), 0);

    link = std::make_unique<DelegateObjectLink>();
    link->remember(object.ptr());
    link.reset();  // with the GIL: released at once
    EXPECT_EQ(weak_references(object), 0);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    py::scoped_interpreter python;
    install_fork_guard();
    return RUN_ALL_TESTS();
}
