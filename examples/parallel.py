"""Model instances through a process pool: the iso-codes records of examples/languages.py, folded to ASCII.

    python examples/parallel.py [FOLDER] [--workers N] [--repeat N]

The languages, countries and locales of languages.py (FOLDER as there) are split into chunks and sent to a
concurrent.futures.ProcessPoolExecutor: each worker receives model instances, makes copies whose names are plain
ASCII ("Åland Islands" becomes "Aland Islands") and sends model instances back. The program does the same work
in this process, checks that both give the same records, and prints the wall time of each (the median of
--repeat runs; the parallel time includes starting the workers). It exits non-zero if the results differ.
"""
import copy
import os
import statistics
import sys
import time
import unicodedata
from concurrent.futures import ProcessPoolExecutor
from typing import Any, List

from languages import DEFAULT_FOLDER, LOCALE_TAGS, Country, Language, Locale, load
from quenlory import raw


def plain(text: str) -> str:
    return unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode("ascii")


def fold(record: Any) -> Any:
    """A copy of a record with ASCII names; the record itself is left as it is (copy.copy gives a new raw dict)."""
    twin = copy.copy(record)
    if isinstance(record, Locale):
        twin.language, twin.country = fold(record.language), fold(record.country)
    else:
        twin.name = plain(record.name)
        if record.common_name is not None:
            twin.common_name = plain(record.common_name)
    return twin


def fold_all(records: List[Any]) -> List[Any]:
    return [fold(record) for record in records]


def build(folder: str) -> List[Any]:
    languages = [Language(record) for record in load(folder, "iso_639-3.json", "639-3")]
    countries = [Country(record) for record in load(folder, "iso_3166-1.json", "3166-1")]
    by_alpha_2 = {language.alpha_2: language for language in languages if language.alpha_2 is not None}
    by_country = {country.codes[0]: country for country in countries}
    locales = [Locale(tag=tag, language=by_alpha_2[tag[:2]], country=by_country[tag[3:]])
               for tag in LOCALE_TAGS if tag[:2] in by_alpha_2 and tag[3:] in by_country]
    return languages + countries + locales


def timed(repeat: int, work: Any) -> Any:
    times, result = [], None
    for _ in range(repeat):
        started = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - started)
    return result, statistics.median(times)


def main(argv: List[str]) -> int:
    args = argv[1:]
    options = {"--workers": os.cpu_count() or 2, "--repeat": 3}
    for name in options:
        if name in args:
            at = args.index(name)
            options[name] = int(args[at + 1])
            del args[at:at + 2]
    folder = args[0] if args else DEFAULT_FOLDER
    workers, repeat = options["--workers"], options["--repeat"]

    records = build(folder)
    size = max(1, len(records) // (4 * workers))
    chunks = [records[i:i + size] for i in range(0, len(records), size)]

    serial, serial_time = timed(repeat, lambda: fold_all(records))

    def in_pool() -> List[Any]:
        with ProcessPoolExecutor(max_workers=workers) as pool:
            return [record for chunk in pool.map(fold_all, chunks) for record in chunk]

    parallel, parallel_time = timed(repeat, in_pool)

    same = [type(a) for a in serial] == [type(b) for b in parallel] and \
        [raw(a) for a in serial] == [raw(b) for b in parallel]
    print("%d records in %d chunks, %d worker processes" % (len(records), len(chunks), workers))
    print("serial:   %.1f ms" % (1000 * serial_time))
    print("parallel: %.1f ms (starting the workers included)" % (1000 * parallel_time))
    print("%d records: %s" % (len(records), "the parallel result equals the serial one" if same
                              else "the parallel result DIFFERS from the serial one"))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
