// The component registry and the sync from the live layout.
#include "database.hpp"

namespace tessaro::db {

py::object add_components(const Env&, py::handle) { not_implemented("add_components"); }

py::object remove_components(const Env&, py::handle) { not_implemented("remove_components"); }

py::object get_components_by_factories(const Env&, py::handle) { not_implemented("get_components_by_factories"); }

py::object remove_components_by_factories(const Env&, py::handle) { not_implemented("remove_components_by_factories"); }

py::object get_factories_by_components(const Env&, py::handle) { not_implemented("get_factories_by_components"); }

py::object sync_from_kcl(const Env&) { not_implemented("sync_from_kcl"); }

}  // namespace tessaro::db
