// namespace_cmds.cpp -- part of the namespace module (included by namespace.cpp):
// TclCommand, TempTclCommand and the views TclNamespace.CommandsView and
// TclNamespace.ProcsView.
namespace {

void make_command_classes(PyObject*) {}
void make_command_views(PyObject*, PyObject*) {}

}  // namespace
