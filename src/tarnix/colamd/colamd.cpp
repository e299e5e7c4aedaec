// tarnix.colamd: column approximate minimum degree orderings with COLAMD and
// SYMAMD.
//
// The functions are those of the COLAMD family (common/colamd_family.hpp);
// the module's engine (colamd/engine/colamd.hpp) describes the library to
// it, and this file binds the module's names (colamd/surface.hpp) to them
// with its docstrings. The two-width functions _colamd and _symamd call
// colamd/symamd (32-bit indices) or colamd_l/symamd_l (64-bit indices).

#include "common/colamd_family.hpp"

#include "colamd/docstrings.hpp"
#include "colamd/engine/colamd.hpp"
#include "colamd/surface.hpp"

namespace {

using namespace tarnix;

// The engine's description of the library, with the face's names.
struct Colamd : engine::Colamd {
    static constexpr const char* private_order_name = colamd_surface::private_colamd;
    static constexpr const char* private_order_doc = colamd_docs::private_colamd;
    static constexpr const char* private_symmetric_name = colamd_surface::private_symamd;
    static constexpr const char* private_symmetric_doc = colamd_docs::private_symamd;
};

using Family = ColamdFamily<Colamd>;
using State = Family::State;

// ---------------------------------------------------------------------------
// Function table

template <int Symmetric>
struct OrderingCall {
    static constexpr int symmetric = Symmetric;
    static constexpr auto& params = colamd_surface::ordering_params;
};

struct BaseCall {
    static constexpr int symmetric = 0;
    static constexpr auto& params = colamd_surface::base_params;
};

constexpr FunctionDef colamd_base_def =
    function(colamd_surface::base, Family::py_order<BaseCall>, BaseCall::params).with_doc(colamd_docs::base);
constexpr FunctionDef colamd_def =
    function(colamd_surface::colamd, Family::py_order<OrderingCall<0>>, OrderingCall<0>::params);
constexpr FunctionDef symamd_def =
    function(colamd_surface::symamd, Family::py_order<OrderingCall<1>>, OrderingCall<1>::params);
constexpr FunctionDef get_defaults_def =
    function(colamd_surface::get_defaults, Family::py_get_defaults).with_doc(colamd_docs::get_defaults);

constexpr RecordDef stats_def{colamd_surface::stats, colamd_docs::stats, colamd_surface::stats_return_name,
                              colamd_stats_fields, count(colamd_stats_fields)};

// ---------------------------------------------------------------------------
// Module initialisation

void exec_body(PyObject* m)
{
    set_all(m, colamd_surface::all);

    Family::add_library(m, stats_def);
    add_function(m, colamd_base_def);
    Ref colamd_fn = add_function(m, colamd_def);
    Ref symamd_fn = add_function(m, symamd_def);

    namespace names = colamd_surface;
    namespace docs = colamd_docs;
    Ref doc_template = add_string(m, colamd_surface::doc_template, colamd_docs::doc_template);
    set_ordering_doc(m, colamd_fn.get(), doc_template.get(),
                     {{names::colamd_reftag, docs::colamd_reftag}, names::colamd_intro, docs::colamd_lead,
                      docs::colamd_description, {names::colamd_A_param, docs::colamd_A_param},
                      {names::colamd_example, docs::colamd_example}, names::colamd_see_also});
    set_ordering_doc(m, symamd_fn.get(), doc_template.get(),
                     {{names::symamd_reftag, docs::symamd_reftag}, names::symamd_intro, docs::symamd_lead,
                      docs::symamd_description, {names::symamd_A_param, docs::symamd_A_param},
                      {names::symamd_example, docs::symamd_example}, names::symamd_see_also});

    add_function(m, get_defaults_def);
    Ref tests = check(PyDict_New());
    add_object(m, surface::doctest_table, tests.get());
}

}  // namespace

TARNIX_MODULE(colamd, colamd_docs::module, State, exec_body)
