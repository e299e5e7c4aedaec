// tarnix.ccolamd: constrained column approximate minimum degree orderings
// with CCOLAMD and CSYMAMD.
//
// The functions are those of the COLAMD family (common/colamd_family.hpp);
// the module's engine (ccolamd/engine/ccolamd.hpp) describes the library to
// it, and this file holds what is its own: the module's names
// (ccolamd/surface.hpp) bound to them, its docstrings and the opt_lu knob.
// The two-width functions _ccolamd and _csymamd call ccolamd/csymamd (32-bit
// indices) or ccolamd_l/csymamd_l (64-bit indices).

#include "common/colamd_family.hpp"

#include "ccolamd/docstrings.hpp"
#include "ccolamd/engine/ccolamd.hpp"
#include "ccolamd/surface.hpp"

namespace {

using namespace tarnix;

// The engine's description of the library, with the face's names.
struct Ccolamd : engine::Ccolamd {
    static constexpr const char* private_order_name = ccolamd_surface::private_ccolamd;
    static constexpr const char* private_order_doc = ccolamd_docs::private_ccolamd;
    static constexpr const char* private_symmetric_name = ccolamd_surface::private_csymamd;
    static constexpr const char* private_symmetric_doc = ccolamd_docs::private_csymamd;

    // knobs[CCOLAMD_LU] for opt_lu "lu" or "cholesky", compared as Python does.
    static double lu_knob_value(PyObject* opt_lu)
    {
        Ref lu = new_string(surface::opt_lu_lu);
        if (check_status(PyObject_RichCompareBool(opt_lu, lu.get(), Py_EQ))) {
            return 1.0;
        }
        Ref cholesky = new_string(surface::opt_lu_cholesky);
        if (check_status(PyObject_RichCompareBool(opt_lu, cholesky.get(), Py_EQ))) {
            return 0.0;
        }
        raise(PyExc_ValueError, ccolamd_surface::opt_lu_invalid);
    }
};

using Family = ColamdFamily<Ccolamd>;
using State = Family::State;

// ---------------------------------------------------------------------------
// Function table

struct CcolamdCall {
    static constexpr int symmetric = 0;
    static constexpr auto& params = ccolamd_surface::ccolamd_params;
};

struct CsymamdCall {
    static constexpr int symmetric = 1;
    static constexpr auto& params = ccolamd_surface::csymamd_params;
};

struct BaseCall {
    static constexpr int symmetric = 0;
    static constexpr auto& params = ccolamd_surface::base_params;
};

constexpr FunctionDef ccolamd_base_def =
    function(ccolamd_surface::base, Family::py_order<BaseCall>, BaseCall::params).with_doc(ccolamd_docs::base);
constexpr FunctionDef ccolamd_def =
    function(ccolamd_surface::ccolamd, Family::py_order<CcolamdCall>, CcolamdCall::params);
constexpr FunctionDef csymamd_def =
    function(ccolamd_surface::csymamd, Family::py_order<CsymamdCall>, CsymamdCall::params);
constexpr FunctionDef get_defaults_def =
    function(ccolamd_surface::get_defaults, Family::py_get_defaults).with_doc(ccolamd_docs::get_defaults);

constexpr RecordDef stats_def{ccolamd_surface::stats, ccolamd_docs::stats, ccolamd_surface::stats_return_name,
                              colamd_stats_fields, count(colamd_stats_fields)};

// ---------------------------------------------------------------------------
// Module initialisation

void exec_body(PyObject* m)
{
    set_all(m, ccolamd_surface::all);

    Family::add_library(m, stats_def);
    add_function(m, ccolamd_base_def);
    Ref ccolamd_fn = add_function(m, ccolamd_def);
    Ref csymamd_fn = add_function(m, csymamd_def);

    namespace names = ccolamd_surface;
    namespace docs = ccolamd_docs;
    Ref doc_template = add_string(m, ccolamd_surface::doc_template, ccolamd_docs::doc_template);
    Ref opt_lu = add_string(m, ccolamd_surface::opt_lu_param, ccolamd_docs::ccolamd_opt_lu_param);
    Ref no_opt_lu = new_string("");
    set_ordering_doc(m, ccolamd_fn.get(), doc_template.get(),
                     {{names::ccolamd_reftag, docs::ccolamd_reftag}, names::ccolamd_intro, docs::ccolamd_lead,
                      docs::ccolamd_description, {names::ccolamd_A_param, docs::ccolamd_A_param},
                      {names::ccolamd_example, docs::ccolamd_example}, names::ccolamd_see_also},
                     {{ccolamd_surface::opt_lu_field, opt_lu.get()}});
    set_ordering_doc(m, csymamd_fn.get(), doc_template.get(),
                     {{names::csymamd_reftag, docs::csymamd_reftag}, names::csymamd_intro, docs::csymamd_lead,
                      docs::csymamd_description, {names::csymamd_A_param, docs::csymamd_A_param},
                      {names::csymamd_example, docs::csymamd_example}, names::csymamd_see_also},
                     {{ccolamd_surface::opt_lu_field, no_opt_lu.get()}});

    add_function(m, get_defaults_def);
    Ref tests = check(PyDict_New());
    add_object(m, surface::doctest_table, tests.get());
}

}  // namespace

TARNIX_MODULE(ccolamd, ccolamd_docs::module, State, exec_body)
