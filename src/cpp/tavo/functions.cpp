// The namespace table of tavotools.tavo: each public function described once.
// Its name, __qualname__, __module__, __doc__, parameter names, __defaults__,
// signature, traceback label ("tavotools.tavo.<name>") and argument conversions
// all derive from its row and from its body's parameter types.
#include "tavo/functions.hpp"

#include "tavo/compat.hpp"
#include "tavo/measures/measures.hpp"

namespace tavo {

runtime::ModuleInfo module_info{"tavotools.tavo", &compat::argument_messages, true};

namespace {

using runtime::define;
using runtime::optional;
using runtime::required;

constexpr auto accel = required("accel");
constexpr auto dt = required("dt");

} // namespace

// The docstrings are verbatim, typos and stray blanks included: pinned by
// tests/test_module.py::test_function_attributes.
const runtime::FunctionDef functions[n_functions] = {
    define<measures::get_PGA_cy>(
        "get_PGA_cy", module_info,
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series. \n\n\tReturns\n\t=======\n\tPGA "
        "in same units as input.\n\t",
        accel),
    define<measures::get_PGV_cy>(
        "get_PGV_cy", module_info,
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in "
        "s.\n\n\tReturns\n\t=======\n\tPGV in m/s.\n\t",
        accel, dt),
    define<measures::get_Ia_cy>(
        "get_Ia_cy", module_info,
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in "
        "s.\n\t\n\tReturns\n\t=======\n\tIa in m/s.\n\t",
        accel, dt),
    define<measures::get_Ia_times_cy>(
        "get_Ia_times_cy", module_info,
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in "
        "s.\n\tpercentages: Ia percentages at which to compute the times.\n\n\tReturns\n\t=======\n\tIa "
        "times in s.\n\t",
        accel, dt, required("percentages")),
    define<measures::get_CAV_cy>(
        "get_CAV_cy", module_info,
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series.\n\tdt: Time step in "
        "s.\n\n\tReturns\n\t=======\n\tCAV in units consistent with input.\n\t",
        accel, dt),
    define<measures::get_CAVn_cy>(
        "get_CAVn_cy", module_info,
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series.\n\tdt: Time step in "
        "s.\n\tthreshold: Acceleration threshold in same units as \"accel.\"\n\n\tReturns\n\t=======\n\t"
        "CAV_n in units consistent with input.\n\t",
        accel, dt, required("threshold")),
    define<measures::get_CAVstd_cy>(
        "get_CAVstd_cy", module_info,
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in "
        "s.\n\n\tReturns\n\t=======\n\tCAV_n in m/s.\n\t",
        accel, dt),
    define<measures::get_CAVdp_cy>(
        "get_CAVdp_cy", module_info,
        "\n\tParameter\n\t=========\n\tCAVstd_gm: Geometric average CAVstd of the two horizontal "
        "components in m/s\n\tmax_CAVstd: Maximum CAVstd of the three components in m/s\n\tmax_PSA: "
        "Maximum PSA (2 - 10 Hz) of the the three horizontal components in m/s**2\n\tmax_PSV: Maximum PSV "
        "(1 - 2 Hz) of the the three horizontal components in m/s\n\tPSV_check: Flag, to check (or not) "
        "for PSV threshold (default = 1)\n\n\tReturns\n\t=======\n\tCAVdp: Damage potential CAV in m/s\n\t",
        required("CAVstd_gm"), required("max_CAVstd"), required("max_PSA"), required("max_PSV"),
        optional("PSV_check", 1)),
};

} // namespace tavo
