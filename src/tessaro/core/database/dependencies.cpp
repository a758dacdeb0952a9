// Runtime dependencies between factories, from the live layout.
#include "database.hpp"

namespace tessaro::db {

py::object get_runtime_factory_dependencies(const Env&, py::handle) { not_implemented("get_runtime_factory_dependencies"); }

py::object get_factories_by_idxs(const Env&, py::handle) { not_implemented("get_factories_by_idxs"); }

py::object get_runtime_factories_dependency_graph(const Env&, py::handle) { not_implemented("get_runtime_factories_dependency_graph"); }

}  // namespace tessaro::db
