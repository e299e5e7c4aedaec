// tarnix.colamd: column approximate minimum degree orderings with COLAMD and
// SYMAMD.
//
// The functions are those of the COLAMD family (common/colamd_family.hpp);
// the module's engine (colamd/engine/colamd.hpp) describes the library to
// it, and this file holds the module's names and docstrings. The two-width
// functions _colamd and _symamd call colamd/symamd (32-bit indices) or
// colamd_l/symamd_l (64-bit indices).

#include "common/colamd_family.hpp"

#include "colamd/docstrings.hpp"
#include "colamd/engine/colamd.hpp"

namespace {

using namespace tarnix;

// The engine's description of the library, with the face's names.
struct Colamd : engine::Colamd {
    static constexpr const char* private_order_name = "_colamd";
    static constexpr const char* private_order_doc = colamd_docs::private_colamd;
    static constexpr const char* private_symmetric_name = "_symamd";
    static constexpr const char* private_symmetric_doc = colamd_docs::private_symamd;
};

using Family = ColamdFamily<Colamd>;
using State = Family::State;

// ---------------------------------------------------------------------------
// Function table

// colamd(A, dense_row_thresh=None, dense_col_thresh=None, aggressive=None, return_info=False), symamd(...)
template <int Symmetric>
struct OrderingCall {
    static constexpr int symmetric = Symmetric;
    static constexpr Param params[] = {
        {"A"}, {"dense_row_thresh", Default::None}, {"dense_col_thresh", Default::None},
        {"aggressive", Default::None}, {"return_info", Default::False},
    };
};

// _colamd_base(A, *, is_symmetric, dense_row_thresh, dense_col_thresh, aggressive, return_info)
struct BaseCall {
    static constexpr int symmetric = 0;
    static constexpr Param params[] = {
        {"A"}, kwonly("is_symmetric", Default::False), kwonly("dense_row_thresh", Default::None),
        kwonly("dense_col_thresh", Default::None), kwonly("aggressive", Default::None),
        kwonly("return_info", Default::False),
    };
};

constexpr FunctionDef colamd_base_def =
    function("_colamd_base", Family::py_order<BaseCall>, BaseCall::params).with_doc(colamd_docs::base);
constexpr FunctionDef colamd_def =
    function("colamd", Family::py_order<OrderingCall<0>>, OrderingCall<0>::params);
constexpr FunctionDef symamd_def =
    function("symamd", Family::py_order<OrderingCall<1>>, OrderingCall<1>::params);
constexpr FunctionDef get_defaults_def =
    function("colamd_get_defaults", Family::py_get_defaults).with_doc(colamd_docs::get_defaults);

constexpr RecordDef stats_def{"COLAMDStats", colamd_docs::stats, "stats", colamd_stats_fields,
                              count(colamd_stats_fields)};

// ---------------------------------------------------------------------------
// Module initialisation

void exec_body(PyObject* m)
{
    set_all(m, {"COLAMDError", "COLAMDValueError", "COLAMDMemoryError", "COLAMDInternalError", "COLAMDStats",
                "colamd", "symamd", "colamd_get_defaults"});

    Family::add_library(m, stats_def);
    add_function(m, colamd_base_def);
    Ref colamd_fn = add_function(m, colamd_def);
    Ref symamd_fn = add_function(m, symamd_def);

    Ref doc_template = add_string(m, "_COLAMD_DOC_TEMPLATE", colamd_docs::doc_template);
    set_ordering_doc(m, colamd_fn.get(), doc_template.get(),
                     {{"_colamd_reftag", colamd_docs::colamd_reftag}, "_colamd_intro", colamd_docs::colamd_lead,
                      colamd_docs::colamd_description, {"_colamd_A_param", colamd_docs::colamd_A_param},
                      {"_colamd_example", colamd_docs::colamd_example},
                      "symamd, ~tarnix.ccolamd.ccolamd, ~tarnix.ccolamd.csymamd"});
    set_ordering_doc(m, symamd_fn.get(), doc_template.get(),
                     {{"_symamd_reftag", colamd_docs::symamd_reftag}, "_symamd_intro", colamd_docs::symamd_lead,
                      colamd_docs::symamd_description, {"_symamd_A_param", colamd_docs::symamd_A_param},
                      {"_symamd_example", colamd_docs::symamd_example},
                      "colamd, ~tarnix.ccolamd.ccolamd, ~tarnix.ccolamd.csymamd"});

    add_function(m, get_defaults_def);
    Ref tests = check(PyDict_New());
    add_object(m, "__test__", tests.get());
}

}  // namespace

TARNIX_MODULE(colamd, colamd_docs::module, State, exec_body)
