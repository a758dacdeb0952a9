// The module's thirty-three functions, in definition order: parameters with
// their kinds, conversions, defaults and annotations, docstrings and bodies.
// The frame builds every function object and every argument error from this
// table alone.
#include <algorithm>

#include "frame.hpp"

namespace tessaro::db {
namespace {

// The entry of the function whose body is F.
template <auto F>
constexpr Entry fn(const char* name, std::initializer_list<Param> params, const char* returns, const char* doc,
                   bool through_try_func = false) {
    Entry s{name, {}, params.size(), returns, doc, call_body<F>, shape_of(F), through_try_func};
    std::size_t i = 0;
    for (const Param& p : params) s.params[i++] = p;
    return s;
}

// clang-format off
constexpr Entry table[] = {
    fn<add_factories>("add_factories",
       {var("records", "FactoryRecord"), keyword("update_last_modified", "bool", Conv::truth, Default::yes)},
       "None",
       "Add multiple factories to the database.\n\n"
       "Each record's source is rewritten to the project-relative text before it is\n"
       "stored; an existing factory of the same name is replaced and its has_model\n"
       "flag reset."),

    fn<remove_factories>("remove_factories", {var("names", "str")}, "None",
       "Remove multiple factories and all their child components from the database."),

    fn<remove_factories_by_source>("remove_factories_by_source", {var("sources", "Path | str")}, "list[str]",
       "Remove factories from the database by their source.\n\n"
       "Returns the names of the factories that were removed."),

    fn<update_factories>("update_factories",
       {positional("add", "list[FactoryRecord]", Conv::exact_list),
        positional("remove", "list[str]", Conv::exact_list),
        keyword("update_last_modified", "bool", Conv::truth, Default::yes)},
       "None",
       "Atomically add/replace and remove factories in a single transaction.\n\n"
       "This ensures readers never see a state where factories have been removed but\n"
       "not yet re-added."),

    fn<get_factories_by_source>("get_factories_by_source", {var("sources", "Path | str")}, "dict[str, list[str]]",
       "Get factory names for each given source file.\n\n"
       "Keys are the project-relative forms of the given sources."),

    fn<add_components>("add_components", {var("records", "ComponentRecord")}, "None",
       "Add multiple components to the database simultaneously.\n\n"
       "The factories owning the components are marked as successfully built."),

    fn<remove_components>("remove_components", {var("names", "str")}, "None",
       "Remove multiple components from the database simultaneously."),

    fn<get_components_by_factories>("get_components_by_factories", {var("factory_names", "str")},
       "dict[str, list[ComponentRecord]]",
       "Get all component records belonging to specific factories.\n\n"
       "Returns a dictionary from factory name to its components, sorted by name."),

    fn<remove_components_by_factories>("remove_components_by_factories", {var("factory_names", "str")}, "None",
       "Remove all components belonging to specific factories from the database."),

    fn<get_all_factories>("get_all_factories", {}, "dict[str, FactoryRecord]",
       "Get all factory records from the database."),

    fn<get_factories_by_name>("get_factories_by_name", {var("names", "str")}, "dict[str, FactoryRecord]",
       "Get multiple factory records by their names.\n\n"
       "Raises ValueError when the database does not exist."),

    fn<get_factories_by_components>("get_factories_by_components", {var("components", "str")},
       "dict[str, FactoryRecord]",
       "Get factory records for multiple components.\n\n"
       "Returns a dictionary from factory name to record, one entry per factory."),

    fn<get_runtime_factory_dependencies>("get_runtime_factory_dependencies",
       {positional("name", "str", Conv::exact_str)},
       "tuple[list[str], list[str]]",
       "Get the dependencies of a factory.\n\n"
       "Judged by the live cells of the layout registry.\n\n"
       "Returns:\n"
       "    Tuple of lists of factory names: (parents, children)"),

    fn<get_factories_by_idxs>("get_factories_by_idxs", {var("idxs", "int")}, "dict[int, FactoryRecord]",
       "Get factory records by their kcl indices.\n\n"
       "Returns a dictionary from cell index to the record of the factory of that cell."),

    fn<get_runtime_factories_dependency_graph>("get_runtime_factories_dependency_graph", {var("names", "str")},
       "nx.DiGraph",
       "Get a dependency graph for multiple factories.\n\n"
       "In the graph, an edge from A to B means A depends on B (B is a child of A).\n"
       "With no names, every registered factory is a starting point."),

    fn<get_factory_sources_by_name>("get_factory_sources_by_name", {var("names", "str")}, "dict[str, Path]",
       "Get source file paths for multiple factories by their names."),

    fn<create_factories_table>("_create_factories_table", {positional("cursor", "sqlite3.Cursor")}, "None",
       "Create the factories table if it doesn't exist.", true),

    fn<create_components_table>("_create_components_table", {positional("cursor", "sqlite3.Cursor")}, "None",
       nullptr, true),

    fn<create_models_table>("_create_models_table", {positional("cursor", "sqlite3.Cursor")}, "None",
       "Create the models table if it doesn't exist.", true),

    fn<create_tables>("_create_tables", {positional("cursor", "sqlite3.Cursor")}, "None",
       "Create all necessary tables in the database."),

    fn<roll>("_roll",
       {positional("tup", "tuple", Conv::exact_tuple), positional("n", "int", Conv::integer, Default::zero)},
       "tuple",
       nullptr),

    fn<relpath>("_relpath", {positional("path", "Path | str")}, "str",
       "Return the relative path from the project directory to the given path."),

    fn<get_all_factory_names>("get_all_factory_names", {}, "list[str]",
       "Get all factory names from the database."),

    fn<reset_timestamps>("reset_timestamps", {}, "None",
       "Reset the timestamps of all factories to the current time."),

    fn<set_factories_status_by_names>("set_factories_status_by_names",
       {var("names", "str"), keyword("status", "str", Conv::exact_str)},
       "None",
       "Modify the status of multiple factories by their names."),

    fn<set_factories_has_model_by_names>("set_factories_has_model_by_names",
       {var("names", "str"), keyword("has_model", "bool", Conv::truth)},
       "None",
       "Set the has_model field for multiple factories by their names."),

    fn<set_all_factories_has_model>("set_all_factories_has_model", {keyword("has_model", "bool", Conv::truth)}, "None",
       "Set the has_model field for all factories in the database."),

    fn<add_models>("add_models", {var("records", "ModelRecord")}, "None",
       "Add multiple models to the database.\n\n"
       "The factories the models belong to get their has_model flag set."),

    fn<remove_models>("remove_models", {var("names", "str")}, "None",
       "Remove multiple models from the database.\n\n"
       "The factories the models belonged to get their has_model flag cleared."),

    fn<get_all_models>("get_all_models", {}, "dict[str, ModelRecord]",
       "Get all model records from the database."),

    fn<get_models_by_name>("get_models_by_name", {var("names", "str")}, "dict[str, ModelRecord]",
       "Get multiple model records by their factory names.\n\n"
       "Raises ValueError when the database does not exist."),

    fn<get_model_sources_by_name>("get_model_sources_by_name", {var("names", "str")}, "dict[str, Path]",
       "Get source file paths for multiple models by their factory names."),

    fn<sync_from_kcl>("sync_from_kcl", {}, "None",
       "Sync all cells from bl.kcl into the components table of the database."),
};
// clang-format on

static_assert(std::size(table) == 33);
// The index of the first entry whose body does not fit it, if any.
static_assert(std::ranges::find_if_not(table, fits) - std::begin(table) == std::size(table));

}  // namespace

std::span<const Entry> function_table() { return table; }

}  // namespace tessaro::db
