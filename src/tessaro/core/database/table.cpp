// The module's thirty-three functions, in definition order: parameters with
// their kinds, conversions, defaults and annotations, docstrings and bodies.
// The frame builds every function object and every argument error from this
// table alone.
#include "frame.hpp"

namespace tessaro::db {
namespace {

constexpr Entry fn(const char* name, std::initializer_list<Param> params, const char* returns, const char* doc,
                   Body body, bool through_try_func = false) {
    Entry s{name, {}, params.size(), returns, doc, body, through_try_func};
    std::size_t i = 0;
    for (const Param& p : params) s.params[i++] = p;
    return s;
}

// clang-format off
constexpr Entry table[] = {
    fn("add_factories",
       {var("records", "FactoryRecord"), keyword("update_last_modified", "bool", Conv::truth, Default::yes)},
       "None",
       "Add multiple factories to the database.\n\n"
       "Each record's source is rewritten to the project-relative text before it is\n"
       "stored; an existing factory of the same name is replaced and its has_model\n"
       "flag reset.",
       [](const Env& e, const Args& a) { return add_factories(e, a[0], a.flag(1)); }),

    fn("remove_factories", {var("names", "str")}, "None",
       "Remove multiple factories and all their child components from the database.",
       [](const Env& e, const Args& a) { return remove_factories(e, a[0]); }),

    fn("remove_factories_by_source", {var("sources", "Path | str")}, "list[str]",
       "Remove factories from the database by their source.\n\n"
       "Returns the names of the factories that were removed.",
       [](const Env& e, const Args& a) { return remove_factories_by_source(e, a[0]); }),

    fn("update_factories",
       {positional("add", "list[FactoryRecord]", Conv::exact_list),
        positional("remove", "list[str]", Conv::exact_list),
        keyword("update_last_modified", "bool", Conv::truth, Default::yes)},
       "None",
       "Atomically add/replace and remove factories in a single transaction.\n\n"
       "This ensures readers never see a state where factories have been removed but\n"
       "not yet re-added.",
       [](const Env& e, const Args& a) { return update_factories(e, a[0], a[1], a.flag(2)); }),

    fn("get_factories_by_source", {var("sources", "Path | str")}, "dict[str, list[str]]",
       "Get factory names for each given source file.\n\n"
       "Keys are the project-relative forms of the given sources.",
       [](const Env& e, const Args& a) { return get_factories_by_source(e, a[0]); }),

    fn("add_components", {var("records", "ComponentRecord")}, "None",
       "Add multiple components to the database simultaneously.\n\n"
       "The factories owning the components are marked as successfully built.",
       [](const Env& e, const Args& a) { return add_components(e, a[0]); }),

    fn("remove_components", {var("names", "str")}, "None",
       "Remove multiple components from the database simultaneously.",
       [](const Env& e, const Args& a) { return remove_components(e, a[0]); }),

    fn("get_components_by_factories", {var("factory_names", "str")}, "dict[str, list[ComponentRecord]]",
       "Get all component records belonging to specific factories.\n\n"
       "Returns a dictionary from factory name to its components, sorted by name.",
       [](const Env& e, const Args& a) { return get_components_by_factories(e, a[0]); }),

    fn("remove_components_by_factories", {var("factory_names", "str")}, "None",
       "Remove all components belonging to specific factories from the database.",
       [](const Env& e, const Args& a) { return remove_components_by_factories(e, a[0]); }),

    fn("get_all_factories", {}, "dict[str, FactoryRecord]",
       "Get all factory records from the database.",
       [](const Env& e, const Args&) { return get_all_factories(e); }),

    fn("get_factories_by_name", {var("names", "str")}, "dict[str, FactoryRecord]",
       "Get multiple factory records by their names.\n\n"
       "Raises ValueError when the database does not exist.",
       [](const Env& e, const Args& a) { return get_factories_by_name(e, a[0]); }),

    fn("get_factories_by_components", {var("components", "str")}, "dict[str, FactoryRecord]",
       "Get factory records for multiple components.\n\n"
       "Returns a dictionary from factory name to record, one entry per factory.",
       [](const Env& e, const Args& a) { return get_factories_by_components(e, a[0]); }),

    fn("get_runtime_factory_dependencies", {positional("name", "str", Conv::exact_str)},
       "tuple[list[str], list[str]]",
       "Get the dependencies of a factory.\n\n"
       "Judged by the live cells of the layout registry.\n\n"
       "Returns:\n"
       "    Tuple of lists of factory names: (parents, children)",
       [](const Env& e, const Args& a) { return get_runtime_factory_dependencies(e, a[0]); }),

    fn("get_factories_by_idxs", {var("idxs", "int")}, "dict[int, FactoryRecord]",
       "Get factory records by their kcl indices.\n\n"
       "Returns a dictionary from cell index to the record of the factory of that cell.",
       [](const Env& e, const Args& a) { return get_factories_by_idxs(e, a[0]); }),

    fn("get_runtime_factories_dependency_graph", {var("names", "str")}, "nx.DiGraph",
       "Get a dependency graph for multiple factories.\n\n"
       "In the graph, an edge from A to B means A depends on B (B is a child of A).\n"
       "With no names, every registered factory is a starting point.",
       [](const Env& e, const Args& a) { return get_runtime_factories_dependency_graph(e, a[0]); }),

    fn("get_factory_sources_by_name", {var("names", "str")}, "dict[str, Path]",
       "Get source file paths for multiple factories by their names.",
       [](const Env& e, const Args& a) { return get_factory_sources_by_name(e, a[0]); }),

    fn("_create_factories_table", {positional("cursor", "sqlite3.Cursor")}, "None",
       "Create the factories table if it doesn't exist.",
       [](const Env& e, const Args& a) { return create_factories_table(e, a[0]); }, true),

    fn("_create_components_table", {positional("cursor", "sqlite3.Cursor")}, "None",
       nullptr,
       [](const Env& e, const Args& a) { return create_components_table(e, a[0]); }, true),

    fn("_create_models_table", {positional("cursor", "sqlite3.Cursor")}, "None",
       "Create the models table if it doesn't exist.",
       [](const Env& e, const Args& a) { return create_models_table(e, a[0]); }, true),

    fn("_create_tables", {positional("cursor", "sqlite3.Cursor")}, "None",
       "Create all necessary tables in the database.",
       [](const Env& e, const Args& a) { return create_tables(e, a[0]); }),

    fn("_roll",
       {positional("tup", "tuple", Conv::exact_tuple), positional("n", "int", Conv::integer, Default::zero)},
       "tuple",
       nullptr,
       [](const Env& e, const Args& a) { return roll(e, a[0], a[1]); }),

    fn("_relpath", {positional("path", "Path | str")}, "str",
       "Return the relative path from the project directory to the given path.",
       [](const Env& e, const Args& a) { return relpath(e, a[0]); }),

    fn("get_all_factory_names", {}, "list[str]",
       "Get all factory names from the database.",
       [](const Env& e, const Args&) { return get_all_factory_names(e); }),

    fn("reset_timestamps", {}, "None",
       "Reset the timestamps of all factories to the current time.",
       [](const Env& e, const Args&) { return reset_timestamps(e); }),

    fn("set_factories_status_by_names",
       {var("names", "str"), keyword("status", "str", Conv::exact_str)},
       "None",
       "Modify the status of multiple factories by their names.",
       [](const Env& e, const Args& a) { return set_factories_status_by_names(e, a[0], a[1]); }),

    fn("set_factories_has_model_by_names",
       {var("names", "str"), keyword("has_model", "bool", Conv::truth)},
       "None",
       "Set the has_model field for multiple factories by their names.",
       [](const Env& e, const Args& a) { return set_factories_has_model_by_names(e, a[0], a.flag(1)); }),

    fn("set_all_factories_has_model", {keyword("has_model", "bool", Conv::truth)}, "None",
       "Set the has_model field for all factories in the database.",
       [](const Env& e, const Args& a) { return set_all_factories_has_model(e, a.flag(0)); }),

    fn("add_models", {var("records", "ModelRecord")}, "None",
       "Add multiple models to the database.\n\n"
       "The factories the models belong to get their has_model flag set.",
       [](const Env& e, const Args& a) { return add_models(e, a[0]); }),

    fn("remove_models", {var("names", "str")}, "None",
       "Remove multiple models from the database.\n\n"
       "The factories the models belonged to get their has_model flag cleared.",
       [](const Env& e, const Args& a) { return remove_models(e, a[0]); }),

    fn("get_all_models", {}, "dict[str, ModelRecord]",
       "Get all model records from the database.",
       [](const Env& e, const Args&) { return get_all_models(e); }),

    fn("get_models_by_name", {var("names", "str")}, "dict[str, ModelRecord]",
       "Get multiple model records by their factory names.\n\n"
       "Raises ValueError when the database does not exist.",
       [](const Env& e, const Args& a) { return get_models_by_name(e, a[0]); }),

    fn("get_model_sources_by_name", {var("names", "str")}, "dict[str, Path]",
       "Get source file paths for multiple models by their factory names.",
       [](const Env& e, const Args& a) { return get_model_sources_by_name(e, a[0]); }),

    fn("sync_from_kcl", {}, "None",
       "Sync all cells from bl.kcl into the components table of the database.",
       [](const Env& e, const Args&) { return sync_from_kcl(e); }),
};
// clang-format on

static_assert(std::size(table) == 33);

}  // namespace

std::span<const Entry> function_table() { return table; }

}  // namespace tessaro::db
