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

nb::object export_notebook(const Args& a) {
    nb::handle args = a[0];
    std::string target = text_of(args.attr("to"));
    Run run;
    prepare(run, args);
    std::string output = output_path(run.options, args.attr("output"), target == "python" ? ".py" : ".yaml");
    nb::object templates = target == "python" ? nb::object() : morvish();
    if (target == "kfp-component" && args.attr("cell").is_none())
        usage_error("--to kfp-component needs --cell NAME");
    const Cell* single = args.attr("cell").is_none() ? nullptr : &chosen_cell(run, text_of(args.attr("cell")));

    Progress reporter(run, run.options.quiet);
    ProgressScope scope_of_progress(reporter);
    execute(run);
    if (const Cell* failed = first_failed(run)) {
        reporter.summary();
        reporter.problem("cannot export: cell '" + failed->name + "' failed (trelvo run " +
                         run.options.notebook + " shows its error)");
        return nb::int_(1);
    }
    nb::list models;
    for (const Cell& cell : run.cells) models.append(cell.component.attr("to_model")());
    nb::dict options;
    options["parameters"] = pipeline_parameters(run);
    options["pipeline_name"] = from_utf8(notebook_stem(run.options));
    if (target != "python") {
        if (!args.attr("base_image").is_none()) options["base_image"] = args.attr("base_image");
        if (!args.attr("packages").is_none()) options["packages_to_install"] = nb::list(args.attr("packages"));
    }
    nb::object text;
    if (target == "python") {
        options["components"] = models;
        nb::object genmora = scope->get("importlib").attr("import_module")("trelvo_core.misc.templates.genmora");
        text = genmora.attr("Genmora")().attr("render")(**options);
    } else if (target == "kfp") {
        options["components"] = models;
        text = templates.attr("MorvishPipeline")().attr("compile_to_yaml")(**options);
    } else {
        options["component"] = single->component.attr("to_model")();
        options.attr("pop")("pipeline_name");
        text = templates.attr("MorvishComponent")().attr("compile_to_yaml")(**options);
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
