"""Message table: the texts that errors and warnings show to the user.

Texts with placeholders are formatted with str.format and keyword arguments.
"""

ERROR_FREQ_NEED_GT_DAY = (
    "An intraday bar series cannot be registered while the main frequency is day or coarser"
)
ERROR_FREQ_TOO_HIGH = "The registered frequency is finer than the run's intraday main frequency"
ERROR_NOTSUPPORT_TICK_MULTI_FREQNUM = "Tick data can only be registered with a frequency count of 1"
ERROR_INPUT_FREQUENCY = "The frequency is not supported"
ERROR_EMPTY_TIMELINE = "The history service returned an empty time line"
ERROR_KDATA_MISS = "The history service returned bars for a different number of targets"
ERROR_KDATA_MULTI = (
    "request: targets={TARGETS}, frequency={FREQUENCY}, freq_num={FREQNUM}, "
    "begin_date={BEGINDATE}, end_date={ENDDATE}, filled_up={FILLEDUP}, fq_type={FQTYPE}"
)
ERROR_WRONG_FACTOR_SIZE = (
    "Factor data must hold exactly one series per requested target plus the dates"
)
WARN_USER_INDICES_RESULT_FORMAT = (
    "A user indicator must return {TARGETLEN} value(s) at each of the {COLUMNLEN} steps: "
    "a number, a flat sequence, or an array of shape ({TARGETLEN}, 1)"
)
ERROR_NOTSUPPORT_VXVERSION = (
    "vornix {VORNIXVERSION} supports {VXNAME} versions {SUPPORTVXVERSION}, but the connected "
    "{VXNAME} is version {VXVERSION}, which supports vornix versions {VXSUPPORTVERSION}. "
    "Install matching versions of the two."
)
