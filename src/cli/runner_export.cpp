// `trelvo export`: the pipeline that `trelvo run` builds, brought up to date incrementally and
// rendered through the export templates as Kubeflow Pipelines YAML (the whole pipeline, or one
// cell as a component) or as a Python script.
#include "runner_internal.hpp"

namespace trelvo::cli::runner {
namespace {

// The export templates' module, or a usage error when the kfp extra is missing.
nb::object morvish() {
    try {
        scope->get("importlib").attr("import_module")("kfp");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        usage_error("exporting to Kubeflow Pipelines needs the kfp extra: pip install 'trelvo_core[kfp]'");
    }
    return scope->get("importlib").attr("import_module")("trelvo_core.misc.templates.morvish");
}

const Cell& chosen_cell(const Run& run, const std::string& wanted) {
    for (const Cell& cell : run.cells)
        if (cell.name == wanted || cell.id == wanted) return cell;
    std::string names;
    for (const Cell& cell : run.cells) names += (names.empty() ? "" : ", ") + cell.name;
    usage_error("--cell " + wanted + ": no code cell has that name or id (cells: " + names + ")");
}

nb::list pipeline_parameters(const Run& run) {
    nb::list parameters;
    for (auto [name, value] : run.parameters) {
        nb::dict parameter;
        parameter["name"] = name;
        parameter["value"] = nb::repr(value);
        parameters.append(parameter);
    }
    return parameters;
}

void write_text(const std::string& output, nb::handle text) {
    if (output == "-") {
        nb::object out = scope->get("sys").attr("stdout");
        out.attr("write")(text);
        out.attr("flush")();
        return;
    }
    nb::str temporary = from_utf8(output + ".partial");
    nb::object file = scope->get("open")(temporary, "w", nb::arg("encoding") = "utf-8");
    file.attr("write")(text);
    file.attr("close")();
    scope->get("os").attr("replace")(temporary, from_utf8(output));
}

// A cell as the export templates take a component: what it was given (the modules of the cells
// before it, the names it reads from its parents) and what it leaves.
nb::dict component_model(const Run& run, std::size_t index) {
    const Cell& cell = run.cells[index];
    nb::dict model;
    model["identifier"] = from_utf8(cell.id);
    model["name"] = from_utf8(cell.name);
    model["code"] = from_utf8(cell.code);
    nb::list parents, imports, inputs, outputs;
    for (std::size_t parent : data_parents(run, cell)) {
        if (run.cells[parent].sets_parameters) continue;
        nb::dict reference;
        reference["id"] = from_utf8(run.cells[parent].id);
        reference["name"] = from_utf8(run.cells[parent].name);
        parents.append(reference);
    }
    std::set<std::string> modules;
    for (const auto& [name, module] : module_names_before(run, index)) {
        modules.insert(name);
        imports.append(from_utf8(name + " = __import__('importlib').import_module(" + text_of(nb::repr(from_utf8(module))) + ")"));
    }
    std::set<std::string> left;
    for (const auto& [name, provider] : cell.needs.inputs) {
        if (modules.count(name) || run.cells[provider].sets_parameters || core::is_state(name)) continue;
        inputs.append(from_utf8(name));
        left.insert(name);
    }
    for (const std::string& name : cell.names.binds) left.insert(name);
    for (const std::string& name : cell.facts.bound) left.insert(name);
    for (const std::string& name : cell.facts.deleted) left.erase(name);
    for (const std::string& name : left)
        if (!cell.modules.contains(from_utf8(name)) && !core::is_state(name))
            outputs.append(from_utf8(name));
    model["parents"] = parents;
    // Names it binds or reads unseen (exec, a star import, globals()): it runs in a namespace of its own.
    model["isolated"] = nb::bool_(cell.names.binds_unseen || cell.names.reads_unseen);
    model["imports"] = imports;
    model["inputs"] = inputs;
    model["outputs"] = outputs;
    return model;
}

nb::object export_notebook(const Args& a) {
    nb::handle args = a[0];
    std::string target = text_of(args.attr("to"));
    Run run;
    prepare(run, args);
    std::string output = output_path(run.options, args.attr("output"), target == "python" ? ".py" : ".yaml");
    nb::object templates = target == "python" ? nb::object() : morvish();
    if (target == "kfp-component" && args.attr("cell").is_none())
        usage_error("--to kfp-component needs --cell NAME");
    plan(run);
    const Cell* single = args.attr("cell").is_none() ? nullptr : &chosen_cell(run, text_of(args.attr("cell")));

    Progress reporter(run, run.options.quiet);
    ProgressScope scope_of_progress(reporter);
    run_cells(run);
    if (const Cell* failed = first_failure(run)) {
        reporter.summary();
        reporter.problem("cannot export: cell '" + failed->name + "' failed (trelvo run " +
                         run.options.notebook + " shows its error)");
        return nb::int_(1);
    }
    // IPython syntax that binds names or writes files is left out of an export: what depends on
    // it would fail there.
    for (const Cell& cell : run.cells)
        if (!cell.names.ipython_effect.empty()) {
            reporter.summary();
            reporter.problem("cannot export: cell '" + cell.name + "' uses " + cell.names.ipython_effect +
                             ", which binds names or writes files through IPython syntax an export leaves out");
            return nb::int_(1);
        }
    nb::list models;
    for (std::size_t i = 0; i < run.cells.size(); ++i)
        if (run.cells[i].name != "injected-parameters") models.append(component_model(run, i));
    nb::dict options;
    options["parameters"] = pipeline_parameters(run);
    options["pipeline_name"] = from_utf8(notebook_stem(run.options));
    if (target != "python") {
        if (!args.attr("base_image").is_none()) options["base_image"] = args.attr("base_image");
        if (!args.attr("packages").is_none()) options["packages_to_install"] = nb::list(args.attr("packages"));
    }
    nb::object text;
    try {
        if (target == "python") {
            options["components"] = models;
            nb::object genmora = scope->get("importlib").attr("import_module")("trelvo_core.misc.templates.genmora");
            text = genmora.attr("Genmora")().attr("render")(**options);
        } else if (target == "kfp") {
            options["components"] = models;
            text = templates.attr("MorvishPipeline")().attr("compile_to_yaml")(**options);
        } else {
            options["component"] = component_model(run, std::size_t(single - run.cells.data()));
            options.attr("pop")("pipeline_name");
            text = templates.attr("MorvishComponent")().attr("compile_to_yaml")(**options);
        }
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        reporter.summary();  // a parameter KFP cannot take, a pipeline that cannot run: one line
        reporter.problem("cannot export: " + text_of(error.value()));
        return nb::int_(1);
    }
    write_text(output, text);
    reporter.summary();
    return nb::int_(0);
}

}  // namespace

void register_export(const Scope& s) {
    define_function(s, "export_notebook", {arg("args")}, "int", export_notebook,
                    "Brings the notebook's pipeline up to date and writes it as Kubeflow Pipelines "
                    "YAML or a Python script; returns the exit status (1 when a cell failed).");
}

}  // namespace trelvo::cli::runner
