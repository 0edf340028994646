#include "vantelo/inputs.hpp"

namespace vantelo {
namespace {

constexpr const char *kExceptions = "vantelo.exception";

py::object driver(const char *name) { return module_attr("vantelo.optimize", name); }

[[noreturn]] void invalid(py::handle message) { raise_invalid_argument(kExceptions, message); }

} // namespace

namespace {

// The codes the instrument data has for `unknown` codes written without an
// exchange suffix ("000012" for "000012.XSHE"), as "000012 → 000012.XSHE" texts.
py::list suffixed_suggestions(const py::list &unknown, py::handle client) {
    py::list candidates;
    py::list bare;
    for (py::handle code : unknown) {
        if (!PyUnicode_Check(code.ptr()) || py::len(code) == 0 ||
            truthy(code.attr("__contains__")("."))) {
            continue;
        }
        bare.append(code);
        for (py::handle exchange : module_attr("vantelo.const", "EXCHANGES")) {
            candidates.append(format("{}.{}", code, exchange));
        }
    }
    py::list suggestions;
    if (py::len(candidates) == 0) {
        return suggestions;
    }
    py::dict found;
    for (py::handle record : client.attr("instruments")(candidates)) {
        if (record.is_none()) {
            continue;
        }
        py::str suffixed(record.attr("order_book_id"));
        py::object base = suffixed.attr("split")(".")[py::int_(0)];
        if (!found.contains(base)) {
            found[base] = py::list();
        }
        found[base].cast<py::list>().append(suffixed);
    }
    for (py::handle code : bare) {
        if (found.contains(code)) {
            suggestions.append(format("{} → {}", code, py::str(" / ").attr("join")(found[code])));
        }
    }
    return suggestions;
}

// Codes the instrument data does not know would otherwise vanish from the pool
// without a word: one warning names them, with the suffixed codes the data has
// for those given without an exchange suffix.
void warn_unknown_codes(py::handle requested, const py::set &known, py::handle client) {
    py::list unknown;
    py::set seen;
    for (py::handle code : requested) {
        if (!known.contains(code) && !seen.contains(code)) {
            seen.add(code);
            unknown.append(code);
        }
    }
    if (py::len(unknown) == 0) {
        return;
    }
    py::str message =
        format("{} 个代码在合约数据中找不到，被剔除：{}", py::len(unknown), first_items(unknown));
    py::list suggestions = suffixed_suggestions(unknown, client);
    if (py::len(suggestions) > 0) {
        message = format("{}；缺少交易所后缀的代码在合约数据中有：{}", message,
                         first_items(suggestions));
    }
    warn_optimizer("vantelo.optimize", message);
}

} // namespace

py::object pool_of(py::object order_book_ids, py::handle date, py::handle client) {
    if (!py::isinstance(order_book_ids, driver("Iterable"))) {
        invalid(py::str("order_book_ids 非法"));
    }
    py::object date_text = driver("ensure_date_str")(date);
    // The codes asked for, kept to name those the client does not know. A
    // one-shot iterator is read into a list first, so both uses see every code.
    py::object requested = order_book_ids;
    if (PyUnicode_Check(order_book_ids.ptr())) {
        requested = py::make_tuple(order_book_ids);
    } else if (PyIter_Check(order_book_ids.ptr())) {
        order_book_ids = list_copy(order_book_ids);
        requested = order_book_ids;
    }
    py::object instruments = client.attr("instruments")(order_book_ids);
    if (!PyList_Check(instruments.ptr())) {
        instruments = py::list(py::make_tuple(instruments));
    }

    py::object warnings = driver("warnings");
    py::str stock_type("CS");
    py::str not_delisted("0000-00-00");
    py::set kept;
    py::set known;
    for (py::handle record : instruments) {
        // The client answers None for a single code it does not know; such a
        // code leaves nothing in the pool, which the driver then reports.
        if (record.is_none()) {
            continue;
        }
        py::object code = record.attr("order_book_id");
        known.add(code);
        if (kept.contains(code)) {
            warnings.attr("warn")(
                translated(format("重复的 order_book_id: {}, 仅保留一个", code)));
            continue;
        }
        if (!py::object(record.attr("type")).equal(stock_type)) {
            warn_optimizer("vantelo.optimize", format("{} 不是股票，被剔除", code));
            continue;
        }
        py::object listed = record.attr("listed_date");
        if (listed > date_text) {
            warn_optimizer("vantelo.optimize",
                           format("{} 在 {} 尚未上市，被剔除", code, date_text));
            continue;
        }
        if (listed.equal(date_text)) {
            warn_optimizer("vantelo.optimize",
                           format("{} 在 {} 当天上市，被剔除", code, date_text));
            continue;
        }
        py::object delisted = record.attr("de_listed_date");
        if (!delisted.equal(not_delisted) && !(delisted > date_text)) {
            warn_optimizer("vantelo.optimize",
                           format("{} 在 {} 时已退市，被剔除", code, date_text));
            continue;
        }
        kept.add(code);
    }
    warn_unknown_codes(requested, known, client);
    py::list pool(kept);
    pool.attr("sort")();
    return std::move(pool);
}

py::object cleaned_pool(py::handle order_book_ids, py::object &date, py::handle client) {
    date = driver("to_date")(date);
    py::object pool = pool_of(py::reinterpret_borrow<py::object>(order_book_ids), date, client);
    if (py::len(pool) == 0) {
        invalid(py::str("经过剔除后，股票池为空"));
    }
    return pool;
}

py::object cleaned_pool(py::handle order_book_ids, py::object &date) {
    return cleaned_pool(order_book_ids, date, driver("tidewell"));
}

bool is_ratio_objective(py::handle objective) {
    return py::isinstance(objective, driver("MaxInformationRatio")) ||
           py::isinstance(objective, driver("MaxSharpeRatio"));
}

py::object checked_benchmark(py::handle objective, py::object benchmark) {
    if (!py::isinstance(objective, driver("OptimizationObjective"))) {
        invalid(py::str("非法的目标函数"));
    }
    const bool needs_benchmark =
        py::isinstance(objective, driver("MinTrackingError")) || is_ratio_objective(objective);
    if (needs_benchmark && benchmark.is_none()) {
        invalid(format("对于目标函数 {}，必须传入 benchmark 参数",
                       py::type::of(objective).attr("__name__")));
    }
    return resolved_benchmark(benchmark);
}

py::object resolved_benchmark(py::object benchmark, Language language) {
    if (benchmark.is_none()) {
        return benchmark;
    }
    const bool english = language == Language::English;
    if (PyUnicode_Check(benchmark.ptr())) {
        if (english) {
            // The index benchmark checks its code in Chinese; English callers are
            // answered before it is built.
            require_index_code(kExceptions, module_attr("vantelo.benchmark", "tidewell"),
                               benchmark, language);
        }
        benchmark = driver("IndexBenchmark")(benchmark);
    }
    if (!py::isinstance(benchmark, driver("OptimizeBenchmark"))) {
        invalid(format(english ? "benchmark: expected an index order_book_id or an "
                                 "OptimizeBenchmark, got {!r}"
                               : "无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；"
                                 "对于自定义基准，请传入一个 OptimizeBenchmark 的对象",
                       benchmark));
    }
    return benchmark;
}

void require_index_code(const char *module, py::handle client, py::handle code,
                        Language language) {
    const bool english = language == Language::English;
    py::object instrument = client.attr("instruments")(code);
    if (instrument.is_none()) {
        raise_invalid_argument(
            module,
            format(english ? "benchmark: unknown index {!r}" : "无效的 benchmark: {}", code));
    }
    py::object type = instrument.attr("type");
    if (!type.equal(py::str("INDX"))) {
        raise_invalid_argument(
            module, english
                        ? format("benchmark: {} is not an index (its type is {})", code, type)
                        : format("仅支持指数类型的 benchmark, 传入的 benchmark 是 {} 类型", type));
    }
}

py::object read_date(const char *module, py::handle date) {
    try {
        return driver("to_date")(date);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_OverflowError)) {
            throw;
        }
        raise_in_context(module_attr(module, "InvalidArgument"),
                         format("date: {!r} is not a date ({})", date, error.value()), error);
    }
}

} // namespace vantelo
