// tarnix.ccolamd: constrained column approximate minimum degree orderings
// with CCOLAMD and CSYMAMD.
//
// The functions are those of the COLAMD family (common/colamd_family.hpp);
// the module's engine (ccolamd/engine/ccolamd.hpp) describes the library to
// it, and this file holds what is its own: the module's names and
// docstrings and the opt_lu knob. The two-width
// functions _ccolamd and _csymamd call ccolamd/csymamd (32-bit indices) or
// ccolamd_l/csymamd_l (64-bit indices).

#include "common/colamd_family.hpp"

#include "ccolamd/docstrings.hpp"
#include "ccolamd/engine/ccolamd.hpp"

namespace {

using namespace tarnix;

// The engine's description of the library, with the face's names.
struct Ccolamd : engine::Ccolamd {
    static constexpr const char* private_order_name = "_ccolamd";
    static constexpr const char* private_order_doc = ccolamd_docs::private_ccolamd;
    static constexpr const char* private_symmetric_name = "_csymamd";
    static constexpr const char* private_symmetric_doc = ccolamd_docs::private_csymamd;

    // knobs[CCOLAMD_LU] for opt_lu "lu" or "cholesky", compared as Python does.
    static double lu_knob_value(PyObject* opt_lu)
    {
        Ref lu = new_string("lu");
        if (check_status(PyObject_RichCompareBool(opt_lu, lu.get(), Py_EQ))) {
            return 1.0;
        }
        Ref cholesky = new_string("cholesky");
        if (check_status(PyObject_RichCompareBool(opt_lu, cholesky.get(), Py_EQ))) {
            return 0.0;
        }
        raise(PyExc_ValueError, "opt_lu must be either 'lu' or 'cholesky'.");
    }
};

using Family = ColamdFamily<Ccolamd>;
using State = Family::State;

// ---------------------------------------------------------------------------
// Function table

// ccolamd(A, constraints=None, dense_row_thresh=None, dense_col_thresh=None, aggressive=None, opt_lu=None,
//         return_info=False)
struct CcolamdCall {
    static constexpr int symmetric = 0;
    static constexpr Param params[] = {
        {"A"}, {"constraints", Default::None}, {"dense_row_thresh", Default::None},
        {"dense_col_thresh", Default::None}, {"aggressive", Default::None}, {"opt_lu", Default::None},
        {"return_info", Default::False},
    };
};

// csymamd(A, constraints=None, dense_row_thresh=None, dense_col_thresh=None, aggressive=None, return_info=False)
struct CsymamdCall {
    static constexpr int symmetric = 1;
    static constexpr Param params[] = {
        {"A"}, {"constraints", Default::None}, {"dense_row_thresh", Default::None},
        {"dense_col_thresh", Default::None}, {"aggressive", Default::None}, {"return_info", Default::False},
    };
};

// _ccolamd_base(A, *, constraints, is_symmetric, dense_row_thresh, dense_col_thresh, aggressive, opt_lu,
//               return_info)
struct BaseCall {
    static constexpr int symmetric = 0;
    static constexpr Param params[] = {
        {"A"}, kwonly("constraints", Default::None), kwonly("is_symmetric", Default::False),
        kwonly("dense_row_thresh", Default::None), kwonly("dense_col_thresh", Default::None),
        kwonly("aggressive", Default::None), kwonly("opt_lu", Default::None), kwonly("return_info", Default::False),
    };
};

constexpr FunctionDef ccolamd_base_def =
    function("_ccolamd_base", Family::py_order<BaseCall>, BaseCall::params).with_doc(ccolamd_docs::base);
constexpr FunctionDef ccolamd_def = function("ccolamd", Family::py_order<CcolamdCall>, CcolamdCall::params);
constexpr FunctionDef csymamd_def = function("csymamd", Family::py_order<CsymamdCall>, CsymamdCall::params);
constexpr FunctionDef get_defaults_def =
    function("ccolamd_get_defaults", Family::py_get_defaults).with_doc(ccolamd_docs::get_defaults);

constexpr RecordDef stats_def{"CCOLAMDStats", ccolamd_docs::stats, "stats", colamd_stats_fields,
                              count(colamd_stats_fields)};

// ---------------------------------------------------------------------------
// Module initialisation

void exec_body(PyObject* m)
{
    set_all(m, {"CCOLAMDError", "CCOLAMDValueError", "CCOLAMDMemoryError", "CCOLAMDInternalError",
                "CCOLAMDStats", "ccolamd", "csymamd", "ccolamd_get_defaults"});

    Family::add_library(m, stats_def);
    add_function(m, ccolamd_base_def);
    Ref ccolamd_fn = add_function(m, ccolamd_def);
    Ref csymamd_fn = add_function(m, csymamd_def);

    Ref doc_template = add_string(m, "_CCOLAMD_DOC_TEMPLATE", ccolamd_docs::doc_template);
    Ref opt_lu = add_string(m, "ccolamd_opt_lu_param", ccolamd_docs::ccolamd_opt_lu_param);
    Ref no_opt_lu = new_string("");
    set_ordering_doc(m, ccolamd_fn.get(), doc_template.get(),
                     {{"ccolamd_reftag", ccolamd_docs::ccolamd_reftag}, "ccolamd_intro", ccolamd_docs::ccolamd_lead,
                      ccolamd_docs::ccolamd_description, {"ccolamd_A_param", ccolamd_docs::ccolamd_A_param},
                      {"_ccolamd_example", ccolamd_docs::ccolamd_example},
                      "csymamd, ~tarnix.colamd.colamd, ~tarnix.colamd.symamd"},
                     {{"opt_lu_param", opt_lu.get()}});
    set_ordering_doc(m, csymamd_fn.get(), doc_template.get(),
                     {{"csymamd_reftag", ccolamd_docs::csymamd_reftag}, "csymamd_intro", ccolamd_docs::csymamd_lead,
                      ccolamd_docs::csymamd_description, {"csymamd_A_param", ccolamd_docs::csymamd_A_param},
                      {"_csymamd_example", ccolamd_docs::csymamd_example},
                      "ccolamd, ~tarnix.colamd.colamd, ~tarnix.colamd.symamd"},
                     {{"opt_lu_param", no_opt_lu.get()}});

    add_function(m, get_defaults_def);
    Ref tests = check(PyDict_New());
    add_object(m, "__test__", tests.get());
}

}  // namespace

TARNIX_MODULE(ccolamd, ccolamd_docs::module, State, exec_body)
