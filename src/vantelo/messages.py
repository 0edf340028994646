"""The language of vantelo's messages.

The optimiser's own errors and warnings (`vantelo.optimize`, `objective`,
`constraints`, `benchmark`, `helper` and the checks they share) are worded in
Chinese. `set_language("en")` makes the package raise and warn them in English
instead, in the words of the guide's table of errors; `set_language("zh")` brings
the Chinese texts back. The modules that already speak English are unaffected.

The choice holds for the process; the package reads no environment variable. A
rebalance hands it to the worker processes and Dask workers that solve its dates,
and the command line takes it as ``vantelo --language en ...``.

A message is translated where it is raised or warned: its text is matched against
the Chinese templates of `CATALOGUE` and the values found in it (themselves
translated when they are a message or a phrase of the catalogue) are put into the
English template.
"""

import re
import string

from vantelo.exception import InvalidArgument

__all__ = ["CATALOGUE", "LANGUAGES", "get_language", "set_language", "translate"]

LANGUAGES = ("zh", "en")
# The language chosen for this process: its one home.
_chosen = {"language": "zh"}

# Chinese template -> English template. A template is a str.format text: `{}` for a
# value, with its number format where the message has one (`{:.3g}`); the English
# text takes the values in the order the Chinese one gives them. A value that is
# itself a Chinese message or phrase (a message with a suffix, a list shortened by
# "{} 等 {} 个", the thing a check names) is translated on its own, so wrapped
# messages need no entries of their own.
CATALOGUE = {
    # The call: date, pool, objective, benchmark
    "order_book_ids 非法": "order_book_ids is invalid: expected a code or an iterable of codes",
    "经过剔除后，股票池为空": (
        "the pool is empty after cleaning (the warnings name the codes dropped)"
    ),
    "非法的目标函数": "invalid objective: expected an OptimizationObjective instance",
    "对于目标函数 {}，必须传入 benchmark 参数": "the objective {} needs the benchmark argument",
    "无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；"
    "对于自定义基准，请传入一个 OptimizeBenchmark 的对象": (
        "invalid benchmark: {}; for an index, pass its order_book_id; "
        "for a custom benchmark, pass an OptimizeBenchmark object"
    ),
    "无效的 benchmark: {}": "unknown benchmark: {}",
    "仅支持指数类型的 benchmark, 传入的 benchmark 是 {} 类型": (
        "only index benchmarks are supported; the benchmark given is of type {}"
    ),
    # Per-stock bounds
    "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)": (
        "bnds should be a dict-like mapping of order_book_id to (lower, upper)"
    ),
    "合约 {} 的下限 {} 无效": "the lower bound of {} is invalid: {} (expected a number in [0, 1])",
    "合约 {} 的上限 {} 无效": "the upper bound of {} is invalid: {} (expected a number in [0, 1])",
    "合约 {} 的上限 {} 小于下限 {}": "the upper bound of {} is below its lower bound: {} < {}",
    "上下限应该以 (lower, upper) 的形式指定": "bounds should be given as (lower, upper)",
    "下限之和大于1": "the lower bounds sum to more than 1",
    "上限之和小于1": "the upper bounds sum to less than 1",
    "约束的上限或下限非法: {}": "the bound is not a number: {}",
    # Objectives
    "{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象": (
        "{}: expected a pd.Series or an object that converts to one"
    ),
    "{}: 股票池中以下股票的值不是有限数（NaN 或 inf）：{}": (
        "{}: the values of these stocks of the pool are not finite (NaN or inf): {}"
    ),
    "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}": (
        "risk_aversion_coefficient (the risk aversion) cannot be below 0; got {}"
    ),
    "MeanVariance: 股票池等权组合的方差为 0，无法确定风险项的缩放系数": (
        "MeanVariance: the equal-weight portfolio of the pool has zero variance, "
        "so the risk term cannot be scaled"
    ),
    "传入股票池中的股票有部分在 indicator_series 中找不到值": (
        "some stocks of the pool have no value in indicator_series"
    ),
    "indicator_series: 股票池中所有股票的指标值均为 0，无法归一化": (
        "indicator_series: the indicator is 0 for every stock of the pool, "
        "so it cannot be normalised"
    ),
    "目标风格值 {} 非法，请从 {} 中选取": "invalid target style {}; choose from {}",
    "在使用相对风格偏移时，必须指定 benchmark 参数": (
        "relative style targets need the benchmark argument"
    ),
    "MinStyleDeviation: 风格 {} 的目标值不是有限数：{}": (
        "MinStyleDeviation: the target of style {} is not finite: {}"
    ),
    "{}: 股票池中没有一只股票有值（股票池中的代码如 {}；传入的键如 {}）": (
        "{}: no stock of the pool has a value (codes of the pool: {}; keys given: {})"
    ),
    "{}: 以下股票代码出现了不止一次：{}": "{}: stocks listed more than once: {}",
    "MaxInformationRatio: 基准成分股在估计窗口内没有收益率数据，无法估计基准收益": (
        "MaxInformationRatio: the benchmark's constituents have no returns in the "
        "estimation window, so the benchmark's return cannot be estimated"
    ),
    # Constraints
    "约束的上限或下限非法: {} = {}": "the bound is not a number: {} = {}",
    "约束的上下界格式不正确: {}": "the bound text has the wrong form: {} (write '+5%' or '-5%')",
    "约束指定的上限或下限 {} 非法": (
        "invalid bound {}: expected a number, a text such as '+5%', or None"
    ),
    "约束的基准值 {} 不是有限数": "the benchmark value {} a bound refers to is not finite",
    "跟踪误差上限小于0：{}": "the tracking error limit is below 0: {}",
    "在 TurnoverLimit 约束中，current_holding 参数不能为 None": (
        "TurnoverLimit: current_holding cannot be None"
    ),
    "换手率上限小于0：{}": "the turnover limit is below 0: {}",
    # Exactly 1 is accepted: the English says so.
    "在 BenchmarkComponentWeightLimit 中，lower_limit 应该在 [0, 1) 范围内": (
        "BenchmarkComponentWeightLimit: lower_limit should lie in [0, 1]"
    ),
    "{}: upper_limit及lower_limit 最少应该指定一个": (
        "{}: give at least one of upper_limit and lower_limit"
    ),
    "约束中指定的风格 {} 非法，应该从 {} 选取": (
        "invalid style {} in the constraint; choose from {}"
    ),
    "{}；最接近的风格：{}": "{}; the closest styles: {}",
    "行业分类 {} 中没有名为 {} 的行业（拼写错误？）；最接近的行业名：{}": (
        "the classification {} has no industry named {} (a typo?); the closest names: {}"
    ),
    "行业分类 {} 中没有名为 {} 的行业（拼写错误？）；该分类的行业有：{}": (
        "the classification {} has no industry named {} (a typo?); its industries: {}"
    ),
    "候选股票池中没有 {} 行业": "no stock of the pool is in the industry {}",
    "{}: 以下股票的值不是有限数（NaN 或 inf）：{}": (
        "{}: the values of these stocks are not finite (NaN or inf): {}"
    ),
    "StyleConstraint: {} 的因子暴露": "StyleConstraint: the exposures to {}",
    "MinStyleDeviation: {} 的因子暴露": "MinStyleDeviation: the exposures to {}",
    # Risk data: "{}(): {}" is the helper method that delivered the data, then what
    # is wrong with it.
    "{}(): {}": "{}(): {}",
    "{}(): {}不是数值": "{}(): {} is not numeric",
    "协方差矩阵": "the covariance matrix",
    "因子载荷": "the factor loading matrix",
    "特异方差": "the specific variance vector",
    "协方差矩阵的形状为 {}，应为方阵": "the covariance matrix has shape {}; it should be square",
    "协方差矩阵的形状为 {}，应为 ({}, {})": (
        "the covariance matrix has shape {}; it should be ({}, {})"
    ),
    "协方差矩阵含有 NaN 或 inf": "the covariance matrix holds NaN or inf",
    "协方差矩阵不对称（对称位置之差最大为 {}）": (
        "the covariance matrix is not symmetric (mirror entries differ by up to {})"
    ),
    "协方差矩阵不是半正定的（最小特征值为 {}）": (
        "the covariance matrix is not positive semidefinite (lowest eigenvalue {})"
    ),
    "因子载荷的形状为 {}、特异方差的形状为 {}，应各有 {} 行": (
        "the factor loadings have shape {} and the specific variances shape {}; "
        "each should have {} rows"
    ),
    "因子载荷或特异方差含有 NaN 或 inf": (
        "the factor loadings or the specific variances hold NaN or inf"
    ),
    "特异方差含有负值": "a specific variance is negative",
    # Solving
    "求解结果违反约束 {:.3g}，超过容差 {}": (
        "the solution breaks a constraint by {:.3g}, more than the tolerance {}"
    ),
    # Warnings
    "{} 不是股票，被剔除": "{} is not a stock and was dropped",
    "{} 在 {} 尚未上市，被剔除": "{} is not yet listed on {} and was dropped",
    "{} 在 {} 当天上市，被剔除": "{} lists on {} itself and was dropped",
    "{} 在 {} 时已退市，被剔除": "{} is delisted by {} and was dropped",
    "重复的 order_book_id: {}, 仅保留一个": "repeated order_book_id: {}, kept once",
    "{} 个代码在合约数据中找不到，被剔除：{}": (
        "{} code(s) unknown to the instrument data were dropped: {}"
    ),
    "{}；缺少交易所后缀的代码在合约数据中有：{}": (
        "{}; codes without an exchange suffix that the instrument data has: {}"
    ),
    "{} 等 {} 个": "{} ({} in all)",
    "{}: 股票池中有 {} 只股票没有值，按 0 处理：{}": (
        "{}: {} stock(s) of the pool have no value and count as 0: {}"
    ),
    "MaxInformationRatio: 基准自身的预期主动收益为正（{}），信息比率没有上界，"
    "优化结果将是基准本身": (
        "MaxInformationRatio: the benchmark's own expected active return is positive ({}), "
        "so the information ratio has no upper bound and the result will be the benchmark "
        "itself"
    ),
    "约束无法满足，放弃所有软约束重试": (
        "the constraints cannot all hold: solving again without the soft constraints"
    ),
    "达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足": (
        "the iteration limit was reached before the required accuracy; "
        "some constraints may not hold"
    ),
    "MeanVariance: expected_returns 全部为 0，退化为 MinVariance": (
        "MeanVariance: expected_returns are all 0; solving MinVariance instead"
    ),
    "候选股票池中没有 {} 行业，相应约束忽略": (
        "no stock of the pool is in the industry {}; its constraint is ignored"
    ),
    "{}: 股票池中收益率绝对值的中位数为 {}，看起来是百分数；收益率应以小数给出（5% 写作 0.05）": (
        "{}: the median absolute return of the pool is {}, which looks like percent; "
        "give returns as fractions (5% is 0.05)"
    ),
    "MaxSharpeRatio: 股票池中没有一只股票的预期收益为正，任何组合的夏普比率都不为正，"
    "没有正的最大值；已将预期收益减去其均值 {} 后优化": (
        "MaxSharpeRatio: no stock of the pool has a positive expected return, so no "
        "portfolio has a positive Sharpe ratio and there is no positive maximum; optimised "
        "with the expected returns less their mean {}"
    ),
    "MaxInformationRatio: 股票池中没有一只股票的预期主动收益为正，任何组合的信息比率都不为正，"
    "没有正的最大值；已将预期主动收益减去其均值 {} 后优化": (
        "MaxInformationRatio: no stock of the pool has a positive expected active return, "
        "so no portfolio has a positive information ratio and there is no positive "
        "maximum; optimised with the expected active returns less their mean {}"
    ),
}


def get_language():
    """The language of the messages: "zh" (the default) or "en"."""
    return _chosen["language"]


def set_language(language):
    """Make vantelo's errors and warnings come in `language` from now on: "en" for
    English, "zh" for the Chinese texts (the default).

    The choice holds for the process (a rebalance passes it on to its workers).

    :raises InvalidArgument: "language: expected 'zh' or 'en', got {!r}"
    """
    if not isinstance(language, str) or language not in LANGUAGES:
        raise InvalidArgument(f"language: expected 'zh' or 'en', got {language!r}")
    _chosen["language"] = language


def translate(message):
    """`message` in the language chosen: unchanged in Chinese (and whenever it is not
    a text, or no template of the catalogue matches it), else its English text."""
    if not isinstance(message, str) or get_language() != "en":
        return message
    return _english(message)


class _Template:
    """A Chinese template read as a pattern, and the English text to refill."""

    def __init__(self, chinese, english):
        pieces = list(string.Formatter().parse(chinese))
        self.literals = [literal for literal, _, _, _ in pieces if literal]
        self.size = sum(len(literal) for literal in self.literals)
        self.pattern = re.compile(
            "".join(
                re.escape(literal) + ("(.*?)" if field is not None else "")
                for literal, field, _, _ in pieces
            ),
            re.S,
        )
        self.english = list(string.Formatter().parse(english))

    def match(self, text):
        if not all(literal in text for literal in self.literals):
            return None
        found = self.pattern.fullmatch(text)
        return None if found is None else found.groups()

    def fill(self, values):
        # The values were formatted with the Chinese message (a number format of the
        # English template is there to be read): they go in as they are, in order.
        parts = []
        remaining = iter(values)
        for literal, field, _, _ in self.english:
            parts.append(literal)
            if field is not None:
                parts.append(next(remaining))
        return "".join(parts)


_templates = []


def _catalogue():
    if not _templates:
        # The template that says most of a text is the one it was made from: a
        # message whose values end like a shorter template ("... 等 7 个") is
        # matched whole before its parts are.
        built = [_Template(chinese, english) for chinese, english in CATALOGUE.items()]
        _templates.extend(sorted(built, key=lambda template: -template.size))
    return _templates


def _english(text):
    for template in _catalogue():
        values = template.match(text)
        if values is not None:
            return template.fill([_english(value) for value in values])
    return text
