// TrelvoForkingPickler: a cloudpickle pickler with the register() class method of the
// standard library's forking pickler.
#include "class_builder.hpp"

namespace trelvo::common::pickler {
namespace {

using namespace trelvo::py;

nb::handle pickler_class;  // for super() in __init__

nb::object init(const Args& a) {
    // As the standard library's forking pickler does: registered reducers join the dispatch
    // table. The table is the live dict before cloudpickle's, and it must be on the instance
    // before the C pickler initialises, which is when it reads it.
    nb::object chain = nb::module_::import_("collections").attr("ChainMap")(
        a[0].attr("_extra_reducers"), nb::getattr(pickler_class, "dispatch_table"));
    nb::setattr(a[0], "dispatch_table", chain);
    super_of(pickler_class, a[0]).attr("__init__")(nb::arg("file") = a[1], nb::arg("protocol") = a[2],
                                                nb::arg("buffer_callback") = a[3]);
    return nb::none();
}

nb::object register_reducer(const Args& a) {
    nb::object reducers = a[0].attr("_extra_reducers");
    if (PyObject_SetItem(reducers.ptr(), a[1].ptr(), a[2].ptr()) < 0) throw nb::python_error();
    return nb::none();
}

void register_forking_pickler(const Scope& s) {
    nb::object none = nb::none();
    ClassBuilder builder(s, "TrelvoForkingPickler",
                         "\n    Add a .register() method of multiprocessing.reduction.ForkingPickler "
                         "by inheriting from cloudpickle.Pickler.\n    ");
    builder.attribute("_extra_reducers", nb::dict())
        .method("__init__",
                {arg("self"), arg("file"), opt("protocol", none), opt("buffer_callback", none)},
                "", init)
        .class_method("register", {arg("cls"), arg("type"), arg("reduce")}, "",
                      register_reducer);
    pickler_class = builder.build(nb::make_tuple(s.get("cloudpickle").attr("Pickler"))).release();
}

}  // namespace
}  // namespace trelvo::common::pickler

NB_MODULE(pickler, m) {
    using namespace trelvo::common::pickler;
    auto* scope = new trelvo::py::Scope(m);
    scope->import("cloudpickle");
    register_forking_pickler(*scope);
}
