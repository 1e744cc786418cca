// namespace_vars.cpp -- part of the namespace module (included by namespace.cpp):
// TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable and the
// views TclNamespace.VariablesView and TclNamespace.ObjectsView.
namespace {

void make_variable_classes(PyObject*) {}
void make_variable_views(PyObject*, PyObject*) {}

}  // namespace
