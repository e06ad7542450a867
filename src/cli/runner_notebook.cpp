// The notebook of a run: read and checked, its code cells planned as Jupyter would run them
// (names, execution counts, the parameters cell and the cell that injects the overrides, as
// papermill does), and the executed notebook written as nbformat writes it.
#include "runner_internal.hpp"

namespace trelvo::cli::runner {
namespace {

std::string quoted(const std::string& path) { return "'" + path + "'"; }

nb::object path_module() { return scope->get("os").attr("path"); }

// A cell's text field as one string (the file may hold a list of lines).
nb::object joined(nb::handle text) {
    if (PyList_Check(text.ptr())) return nb::str("").attr("join")(text);
    if (!PyUnicode_Check(text.ptr())) raise(PyExc_ValueError, "a cell's source is not text");
    return nb::borrow(text);
}

bool has_tag(nb::handle cell, const char* tag) {
    nb::object tags = cell["metadata"].attr("get")("tags", nb::list());
    return PyList_Check(tags.ptr()) && contains(tags, nb::str(tag));
}

// The notebook's kernel language, when it says one.
std::string language_of(nb::handle notebook) {
    nb::object metadata = notebook.attr("get")("metadata", nb::dict());
    if (!PyDict_Check(metadata.ptr())) return "";
    for (const char* field : {"kernelspec", "language_info"}) {
        nb::object section = metadata.attr("get")(field);
        if (section.is_none() || !PyDict_Check(section.ptr())) continue;
        nb::object language = section.attr("get")(std::string(field) == "kernelspec" ? "language" : "name");
        if (PyUnicode_Check(language.ptr())) return text_of(language.attr("lower")());
    }
    return "";
}

std::string cell_name(nb::handle code, std::size_t position) {
    std::string first = text_of(code);
    first = first.substr(0, first.find('\n'));
    nb::object match = scope->get("re").attr("match")(R"(\s*#\s*name:\s*(.*\S))", from_utf8(first));
    return match.is_none() ? "cell-" + std::to_string(position) : text_of(match.attr("group")(1));
}

// ---- parameters ----------------------------------------------------------------------------

// The parameters cell as Python: its names and the values of those assigned a literal. A cell
// that does not parse is a usage error naming the line.
nb::dict parameter_defaults(const Run& run, nb::handle cell, std::vector<std::string>& names) {
    nb::str code = nb::str(cell["source"]);
    nb::object ast = scope->get("ast");
    nb::object tree;
    try {
        tree = ast.attr("parse")(code);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_SyntaxError)) throw;
        // Perhaps IPython syntax (a magic); the shell turns it into Python.
        try {
            nb::object transformer = imported("IPython.core.inputtransformer2").attr("TransformerManager")();
            tree = ast.attr("parse")(transformer.attr("transform_cell")(code));
        } catch (nb::python_error& again) {
            if (!again.matches(PyExc_SyntaxError)) throw;
            nb::object line = nb::getattr(error.value(), "lineno", nb::none());
            usage_error("the parameters cell of " + quoted(run.options.notebook) + " does not parse: " +
                        (line.is_none() ? "" : "line " + text_of(line) + ": ") +
                        text_of(nb::getattr(error.value(), "msg", nb::str("invalid syntax"))));
        }
    }
    nb::dict values;
    for (nb::handle statement : tree.attr("body")) {
        std::string kind = text_of(nb::handle((PyObject*)Py_TYPE(statement.ptr())).attr("__name__"));
        nb::list targets;
        if (kind == "Assign") targets = nb::list(statement.attr("targets"));
        else if (kind == "AnnAssign") targets.append(statement.attr("target"));
        else continue;
        for (nb::handle target : targets) {
            if (text_of(nb::handle((PyObject*)Py_TYPE(target.ptr())).attr("__name__")) != "Name") continue;
            names.push_back(text_of(target.attr("id")));
            if (statement.attr("value").is_none()) continue;
            try {
                values[target.attr("id")] = ast.attr("literal_eval")(statement.attr("value"));
            } catch (nb::python_error&) {
                values.attr("pop")(target.attr("id"), nb::none());  // computed: known when it runs
            }
        }
    }
    return values;
}

// The cell that sets the overrides, as papermill injects it after the parameters cell.
nb::dict injected_cell(const Options& options) {
    std::string source = "# Parameters\n";
    for (auto [name, value] : options.parameters) source += text_of(name) + " = " + text_of(nb::repr(value)) + "\n";
    nb::dict cell, metadata;
    nb::list tags;
    tags.append("injected-parameters");
    metadata["tags"] = tags;
    cell["cell_type"] = "code";
    cell["id"] = "injected-parameters";
    cell["metadata"] = metadata;
    cell["source"] = from_utf8(source);
    cell["outputs"] = nb::list();
    cell["execution_count"] = nb::none();
    return cell;
}

// The parameters cell's values with the overrides, and the cell injecting them; an override of
// a name the cell does not set is a usage error.
void apply_parameters(Run& run, nb::list cells) {
    nb::handle parameters_cell;
    std::size_t position = 0;
    for (std::size_t i = 0; i < nb::len(cells); ++i) {
        nb::handle cell = cells[i];
        if (text_of(cell["cell_type"]) == "code" && has_tag(cell, "parameters")) {
            parameters_cell = cell;
            position = i;
            break;
        }
    }
    std::vector<std::string> names;
    if (parameters_cell.is_valid()) run.parameters = parameter_defaults(run, parameters_cell, names);
    for (auto [name, value] : run.options.parameters) {
        if (std::find(names.begin(), names.end(), text_of(name)) == names.end()) {
            std::string known;
            for (const std::string& n : names)
                if (known.find("'" + n + "'") == std::string::npos) known += (known.empty() ? "" : ", ") + n;
            usage_error(parameters_cell.is_valid()
                            ? "unknown parameter '" + text_of(name) + "' (the parameters cell sets: " +
                                  (known.empty() ? "nothing" : known) + ")"
                            : "-p " + text_of(name) + ": no cell of " + quoted(run.options.notebook) +
                                  " is tagged 'parameters'");
        }
        run.parameters[name] = value;
    }
    if (!nb::len(run.options.parameters)) return;
    for (std::size_t i = nb::len(cells); i-- > 0;)  // a former injection is replaced, as papermill does
        if (has_tag(cells[i], "injected-parameters")) {
            cells.attr("pop")(i);
            if (i < position) --position;
        }
    cells.insert(position + 1, injected_cell(run.options));
}

// The analysis of a cell's code, from the run cache when it has it.
core::CellNames analysed(Run& run, nb::handle code) {
    nb::object result = run.cache ? run.cache->analysis(code)
                                  : imported("trelvo_core.cli.cells").attr("analyse_cell")(code);
    core::CellNames names;
    for (nb::handle name : result["reads"]) names.reads.push_back(text_of(name));
    auto fill = [](std::set<std::string>& set, nb::handle list) {
        for (nb::handle name : list) set.insert(text_of(name));
    };
    fill(names.binds, result["binds"]);
    fill(names.maybe_binds, result["maybe_binds"]);
    fill(names.imports, result["imports"]);
    for (auto [function, globals] : nb::borrow<nb::dict>(result["globals_of"]))
        for (nb::handle name : globals) names.globals_of[text_of(function)].push_back(text_of(name));
    for (auto [function, globals] : nb::borrow<nb::dict>(result["sets_of"]))
        for (nb::handle name : globals) names.sets_of[text_of(function)].push_back(text_of(name));
    names.binds_unseen = arg_bool(result["binds_unseen"]);
    names.reads_unseen = arg_bool(result["reads_unseen"]);
    fill(names.literals, result["literals"]);
    fill(names.written, result["written"]);
    fill(names.modules, result["modules"]);
    names.ipython_effect = text_of(result["ipython_effect"]);
    return names;
}

nb::object split_lines(nb::handle text) {
    return PyUnicode_Check(text.ptr()) ? nb::object(text.attr("splitlines")(true)) : nb::borrow(text);
}

bool is_json_mime(const std::string& mime) {
    return mime == "application/json" || (mime.size() > 5 && mime.compare(mime.size() - 5, 5, "+json") == 0);
}

// The notebook as nbformat writes it: multi-line texts as lists of lines, JSON data as is.
nb::object as_written(nb::handle notebook) {
    for (nb::handle cell : notebook["cells"]) {
        cell["source"] = split_lines(cell["source"]);
        if (!nb::borrow<nb::dict>(cell).contains("outputs")) continue;
        for (nb::handle output : cell["outputs"]) {
            nb::dict o = nb::borrow<nb::dict>(output);
            if (o.contains("text")) o["text"] = split_lines(o["text"]);
            if (!o.contains("data") || !PyDict_Check(nb::object(o["data"]).ptr())) continue;
            for (auto [mime, value] : nb::borrow<nb::dict>(o["data"]))
                if (!is_json_mime(text_of(mime))) o["data"][mime] = split_lines(value);
        }
    }
    return nb::borrow(notebook);
}

nb::dict trelvo_metadata(const Run& run, const Cell& cell) {
    nb::dict metadata;
    metadata["status"] = cell.status == CellStatus::ran ? "successful" : status_word(cell.status);
    metadata["duration"] = std::round(cell.duration * 1e6) / 1e6;
    nb::list parents;
    for (std::size_t parent : data_parents(run, cell))
        if (!run.cells[parent].sets_parameters) parents.append(from_utf8(run.cells[parent].id));
    metadata["parents"] = parents;
    return metadata;
}

}  // namespace

nb::object read_notebook(const Options& options) {
    const std::string& file = options.notebook;
    nb::object text;
    try {
        nb::object handle = scope->get("open")(from_utf8(file), "r", nb::arg("encoding") = "utf-8");
        text = handle.attr("read")();
        handle.attr("close")();
    } catch (nb::python_error& error) {
        nb::object reason = nb::getattr(error.value(), "strerror", nb::none());
        usage_error("cannot read " + quoted(file) + ": " + (reason.is_none() ? text_of(error.value()) : text_of(reason)));
    }
    nb::object notebook;
    try {
        notebook = scope->get("json").attr("loads")(text);
    } catch (nb::python_error& error) {
        usage_error(quoted(file) + " is not valid JSON: " + text_of(error.value()));
    }
    try {
        if (!PyDict_Check(notebook.ptr()) || !PyList_Check(notebook.attr("get")("cells").ptr()))
            raise(PyExc_ValueError, "it has no list of cells");
        // nbformat is imported only to upgrade an older format: its schema validator costs a second.
        if (!notebook.attr("get")("nbformat").equal(nb::int_(4))) {
            nb::object nbformat = imported("nbformat");
            notebook = scope->get("json").attr("loads")(
                nbformat.attr("writes")(nbformat.attr("reads")(text, nb::arg("as_version") = 4)));
        }
        for (nb::handle cell : notebook["cells"]) {
            if (!PyDict_Check(cell.ptr())) raise(PyExc_ValueError, "a cell is not an object");
            std::string type = text_of(cell.attr("get")("cell_type"));
            if (type != "code" && type != "markdown" && type != "raw")
                raise(PyExc_ValueError, "a cell has the unknown type '%s'", type.c_str());
            cell["source"] = joined(cell.attr("get")("source", ""));
            if (!PyDict_Check(cell.attr("setdefault")("metadata", nb::dict()).ptr()))
                raise(PyExc_ValueError, "a cell's metadata is not an object");
        }
    } catch (nb::python_error& error) {
        std::string reason = text_of(error.value());
        usage_error(quoted(file) + " is not a Jupyter notebook: " + reason.substr(0, reason.find('\n')));
    }
    std::string language = language_of(notebook);
    if (!language.empty() && language != "python")
        usage_error(quoted(file) + " is a " + language + " notebook: trelvo runs Python notebooks");
    return notebook;
}

void plan(Run& run) {
    if (run.options.use_cache && !run.cache) {
        run.cache = std::make_unique<Cache>(run);
        run.store = run.cache->values();
    }
    if (!run.files) run.files = std::make_unique<Files>(run.cache ? run.cache->remembered_files() : "");
    nb::list cells = nb::borrow<nb::list>(run.notebook["cells"]);
    int count = 0;
    for (std::size_t i = 0; i < nb::len(cells); ++i) {
        nb::handle nb_cell = cells[i];
        if (text_of(nb_cell["cell_type"]) != "code") continue;
        nb::str code = nb::str(nb_cell["source"]);
        if (!arg_bool(code.attr("strip")()) || has_tag(nb_cell, "skip-execution")) continue;
        Cell cell;
        cell.notebook_index = i;
        nb::object id = nb_cell.attr("get")("id");
        cell.id = id.is_none() ? "position-" + std::to_string(i + 1) : text_of(id);
        // Names follow the positions of the notebook as given: an injected cell shifts nothing.
        nb::object position = nb_cell["metadata"].attr("pop")("trelvo_position", nb::none());
        cell.name = position.is_none() ? "injected-parameters" : cell_name(code, nb::cast<std::size_t>(position));
        cell.code = text_of(code);
        cell.count = ++count;
        cell.expects_error = has_tag(nb_cell, "raises-exception");
        cell.sets_parameters = has_tag(nb_cell, "parameters") || has_tag(nb_cell, "injected-parameters");
        const std::vector<std::string>& rerun = run.options.rerun;
        cell.volatile_key = has_tag(nb_cell, "no-cache") ||
                            std::find(rerun.begin(), rerun.end(), cell.name) != rerun.end() ||
                            std::find(rerun.begin(), rerun.end(), cell.id) != rerun.end();
        cell.names = analysed(run, code);
        run.cells.push_back(std::move(cell));
    }
    for (const std::string& wanted : run.options.rerun)
        if (std::none_of(run.cells.begin(), run.cells.end(),
                         [&](const Cell& cell) { return cell.name == wanted || cell.id == wanted; })) {
            std::string names;
            for (const Cell& cell : run.cells) names += (names.empty() ? "" : ", ") + cell.name;
            usage_error("--rerun " + wanted + ": no code cell has that name or id (cells: " + names + ")");
        }
    run.nonce = text_of(imported("uuid").attr("uuid4")().attr("hex"));
}

void read_parameters(Run& run) {
    nb::list cells = nb::borrow<nb::list>(run.notebook["cells"]);
    for (std::size_t i = 0; i < nb::len(cells); ++i)
        if (text_of(cells[i]["cell_type"]) == "code") cells[i]["metadata"]["trelvo_position"] = i + 1;
    apply_parameters(run, cells);
}

// OUTPUT, or <stem><suffix> beside the notebook; its directory must exist.
std::string output_path(const Options& o, nb::handle given, const std::string& suffix) {
    nb::object path = path_module();
    std::string output = given.is_none()
        ? text_of(path.attr("join")(path.attr("dirname")(from_utf8(o.notebook)), from_utf8(notebook_stem(o) + suffix)))
        : text_of(given);
    if (output == "-") return output;
    output = text_of(path.attr("abspath")(from_utf8(output)));
    if (!arg_bool(path.attr("isdir")(path.attr("dirname")(from_utf8(output)))))
        usage_error("cannot write " + quoted(output) + ": its directory does not exist");
    return output;
}

std::string notebook_stem(const Options& o) {
    nb::object path = path_module();
    return text_of(path.attr("splitext")(path.attr("basename")(from_utf8(o.notebook)))[0]);
}

void write_notebook(Run& run) {
    nb::list cells = nb::borrow<nb::list>(run.notebook["cells"]);
    std::size_t size = nb::len(cells);
    nb::list events, counts;
    for (std::size_t i = 0; i < size; ++i) {
        events.append(nb::none());
        counts.append(nb::none());
    }
    for (const Cell& cell : run.cells) {
        events[cell.notebook_index] = cell.events.is_valid() ? cell.events : nb::object(nb::list());
        if (cell.status != CellStatus::skipped) counts[cell.notebook_index] = cell.count;
    }
    nb::list outputs = nb::borrow<nb::list>(imported("trelvo_core.cli.outputs").attr("assemble")(events, counts));
    for (const Cell& cell : run.cells) {
        nb::handle nb_cell = cells[cell.notebook_index];
        nb_cell["outputs"] = outputs[cell.notebook_index];
        nb_cell["execution_count"] = counts[cell.notebook_index];
        nb_cell["metadata"]["trelvo"] = trelvo_metadata(run, cell);
        if (nb::len(cell.timing)) nb_cell["metadata"]["execution"] = cell.timing;
        else nb_cell["metadata"].attr("pop")("execution", nb::none());
    }
    for (nb::handle nb_cell : cells)
        if (text_of(nb_cell["cell_type"]) == "code" && has_tag(nb_cell, "skip-execution")) {
            nb::dict metadata;
            metadata["status"] = "skipped";
            metadata["duration"] = 0.0;
            metadata["parents"] = nb::list();
            nb_cell["metadata"]["trelvo"] = metadata;
        }
    nb::dict notebook_metadata = nb::borrow<nb::dict>(run.notebook.attr("setdefault")("metadata", nb::dict()));
    nb::dict trelvo;
    trelvo["parameters"] = scope->get("json").attr("loads")(
        scope->get("json").attr("dumps")(run.options.parameters, nb::arg("default") = scope->get("repr")));
    notebook_metadata["trelvo"] = trelvo;
    nb::str temporary = from_utf8(run.options.output + ".partial");
    nb::object file = scope->get("open")(temporary, "w", nb::arg("encoding") = "utf-8");
    file.attr("write")(scope->get("json").attr("dumps")(as_written(run.notebook), nb::arg("sort_keys") = true,
                                                        nb::arg("indent") = 1, nb::arg("ensure_ascii") = false));
    file.attr("write")("\n");
    file.attr("close")();
    scope->get("os").attr("replace")(temporary, from_utf8(run.options.output));
}

}  // namespace trelvo::cli::runner
