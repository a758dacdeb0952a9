// The model registry; the factories' model flag follows it.
#include "database.hpp"

namespace tessaro::db {

py::object add_models(const Env&, py::handle) { not_implemented("add_models"); }

py::object remove_models(const Env&, py::handle) { not_implemented("remove_models"); }

py::object get_all_models(const Env&) { not_implemented("get_all_models"); }

py::object get_models_by_name(const Env&, py::handle) { not_implemented("get_models_by_name"); }

py::object get_model_sources_by_name(const Env&, py::handle) { not_implemented("get_model_sources_by_name"); }

}  // namespace tessaro::db
