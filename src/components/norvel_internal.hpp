// What the files of the norvel module share: its namespace, the small helpers, and the method
// bodies that the class is built from in norvel.cpp.
#pragma once

#include "calls.hpp"
#include "checks.hpp"
#include "class_builder.hpp"

namespace trelvo::components::norvel {

using namespace trelvo::py;

extern const Scope* scope;  // the module's namespace, kept for the life of the process

// The component's properties read one another and are read on every run. own() reads one as
// Python would; while the class's own property is the one in place (neither replaced on the
// class nor overridden in a subclass) it calls the getter directly instead of going through
// the property object (norvel.cpp).
enum class Property {
    status, use_diskcache, remote_config, diskcache_dir, diskcache_status, module_statements,
    non_module_outputs, outputs, last_output, captured, exception_msg
};
nb::object own(nb::handle self, Property property);

// Small helpers (norvel.cpp). A status member is looked up once.
nb::object component_status(const char* member);
nb::object diskcache_status(const char* member);
bool equal(nb::handle a, nb::handle b);
bool truth(nb::handle value);
bool has_status(nb::handle self, const char* member);
nb::object typed(nb::object value, PyTypeObject* type);
void record_written(nb::handle self, nb::handle directory);

// Memory and disk caches (norvel_caches.cpp).
nb::object open_cache(nb::handle directory);
nb::object outputs_dir(nb::handle directory);
void set_none(nb::handle self, std::initializer_list<const char*> attributes);
extern nb::handle write_diskcache_function;  // the class's own _write_diskcache
void register_disk(const Scope& s);
nb::object load_memory_cache(const Args& a);
nb::object write_diskcache_body(const Args& a);
nb::object write_diskcache(const Args& a);
nb::object join_diskcache_task(const Args& a);
nb::object cancel_diskcache_task(const Args& a);
nb::object load_diskcache(const Args& a);
nb::object clear_memory_cache(const Args& a);
nb::object clear_diskcache(const Args& a);
nb::object clear_cache(const Args& a);

// Running and showing (norvel_execution.cpp).
void show_records(nb::handle self, nb::handle records, nb::handle component_id);
nb::object execute(const Args& a);
nb::object execute_async(const Args& a);
nb::object execute_async_result(const Args& a);
nb::object handle_error(const Args& a);
nb::object show_last_output(const Args& a);
nb::object show_captured(const Args& a);
nb::object show_exception_msg(const Args& a);

}  // namespace trelvo::components::norvel
