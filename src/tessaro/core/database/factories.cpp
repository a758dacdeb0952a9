// The factory registry: adding, replacing, removing, looking up and flagging factories.
#include "database.hpp"

namespace tessaro::db {

py::object add_factories(const Env&, py::handle, bool) { not_implemented("add_factories"); }

py::object remove_factories(const Env&, py::handle) { not_implemented("remove_factories"); }

py::object remove_factories_by_source(const Env&, py::handle) { not_implemented("remove_factories_by_source"); }

py::object update_factories(const Env&, py::handle, py::handle, bool) { not_implemented("update_factories"); }

py::object get_factories_by_source(const Env&, py::handle) { not_implemented("get_factories_by_source"); }

py::object get_all_factories(const Env&) { not_implemented("get_all_factories"); }

py::object get_factories_by_name(const Env&, py::handle) { not_implemented("get_factories_by_name"); }

py::object get_factory_sources_by_name(const Env&, py::handle) { not_implemented("get_factory_sources_by_name"); }

py::object get_all_factory_names(const Env&) { not_implemented("get_all_factory_names"); }

py::object reset_timestamps(const Env&) { not_implemented("reset_timestamps"); }

py::object set_factories_status_by_names(const Env&, py::handle, py::handle) { not_implemented("set_factories_status_by_names"); }

py::object set_factories_has_model_by_names(const Env&, py::handle, bool) { not_implemented("set_factories_has_model_by_names"); }

py::object set_all_factories_has_model(const Env&, bool) { not_implemented("set_all_factories_has_model"); }

}  // namespace tessaro::db
