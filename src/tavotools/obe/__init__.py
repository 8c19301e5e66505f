"""Operating-basis-earthquake (OBE) exceedance check of a three-component record.

From the two horizontal components and the vertical one, `obe_check` computes
what the damage-potential CAV decision (`get_CAVdp_cy`) needs: per component
the standardized CAV and the 5 %-damped spectral peaks, maximum PSA between
2 and 10 Hz and maximum PSV between 1 and 2 Hz; over the set the geometric
mean of the horizontal CAVstd values and the maximum CAVstd.  It then states,
side by side, the module's three cut-offs and the OBE-exceedance checks of
US NRC Regulatory Guide 1.166, whose velocity cut-off (6 in/s = 15.24 cm/s)
is not the module's (15.34 cm/s).

`check` computes the report, `report` renders it as text or plain data,
`plot` draws it; the command is `tavotools obe` (`tavotools.cli.obe`).
"""
from .check import (CAV_CUTOFF, DAMPING, NAMES, OBE_FREQUENCIES, POINTS_PER_DECADE, PSA_BAND,
                    PSA_CUTOFF, PSV_BAND, PSV_CUTOFF, RG1166_PSV_CUTOFF, ComponentCheck,
                    Criterion, OBEReport, builtin_components, obe_check, sampling_notes,
                    substeps_for)
from .plot import plot_spectra
from .report import format_report, report_as_dict

__all__ = [
    "CAV_CUTOFF",
    "Criterion",
    "ComponentCheck",
    "DAMPING",
    "NAMES",
    "OBEReport",
    "OBE_FREQUENCIES",
    "POINTS_PER_DECADE",
    "PSA_BAND",
    "PSA_CUTOFF",
    "PSV_BAND",
    "PSV_CUTOFF",
    "RG1166_PSV_CUTOFF",
    "builtin_components",
    "format_report",
    "main",
    "obe_check",
    "plot_spectra",
    "report_as_dict",
    "sampling_notes",
    "substeps_for",
]


def main(argv=None):
    """`tavotools obe ARGS...`; returns the exit status."""
    from ..cli import main as command_line

    return command_line(["obe", *([] if argv is None else argv)])
