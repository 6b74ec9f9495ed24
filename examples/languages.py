"""Real records as models: the ISO 639-3 languages and ISO 3166-1 countries that Debian's iso-codes package ships.

    python examples/languages.py [FOLDER]

FOLDER holds iso_639-3.json and iso_3166-1.json (default /usr/share/iso-codes/json; `apt-get install iso-codes`).
Every record becomes a model instance; the program reads its fields, pairs languages with countries into locales
(a model nesting the other two), writes everything back with `dumps` and checks that the JSON read again equals
the input, record by record. It ends with a short summary and exits non-zero if any record did not come back.
"""
import argparse
import json
import os
import sys
import time
from collections import Counter
from typing import Any, Dict, List

from quenlory import Field, Model, MultiField, ProxyField, dumps, model, raw

DEFAULT_FOLDER = "/usr/share/iso-codes/json"


@model
class Language(Model):
    """An ISO 639-3 language: scope I(ndividual), M(acrolanguage) or S(pecial); type L(iving), H(istorical)..."""

    alpha_3 = Field(str)
    name = Field(str)
    scope = Field(str)
    type = Field(str)
    alpha_2 = Field(str, optional=True)  # the ISO 639-1 code, for some two hundred languages
    bibliographic = Field(str, optional=True)
    inverted_name = Field(str, optional=True)
    common_name = Field(str, optional=True)


@model
class Country(Model):
    """An ISO 3166-1 country. The three codes are one attribute over three raw keys."""

    codes = MultiField(("alpha_2", "alpha_3", "numeric"))  # numeric stays text: "004" keeps its zeros
    name = Field(str)
    flag = Field(str)
    official_name = Field(str, optional=True)
    common_name = Field(str, optional=True)

    @property
    def display_name(self) -> str:
        return self.common_name or self.name


@model
class Locale(Model):
    """A language as used in a country, such as pt_BR: the two records nested whole."""

    tag = Field(str)
    language = ProxyField(Language)
    country = ProxyField(Country)


# Locales to build when both of their records are in the data.
LOCALE_TAGS = ("en_GB", "en_US", "fr_CA", "de_AT", "pt_BR", "es_MX", "zh_TW", "sw_KE", "nl_BE", "ga_IE")


def load(folder: str, name: str, key: str) -> List[Dict[str, Any]]:
    with open(os.path.join(folder, name), encoding="utf-8") as handle:
        records: List[Dict[str, Any]] = json.load(handle)[key]
    return records


def round_trip_failures(instances: List[Any], originals: List[Dict[str, Any]]) -> List[str]:
    """The records whose JSON text, read again, differs from the input record."""
    return [dumps(item) for item, original in zip(instances, originals) if json.loads(dumps(item)) != original]


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(prog=os.path.basename(argv[0]), description=(__doc__ or "").split("\n")[0])
    parser.add_argument("folder", nargs="?", default=DEFAULT_FOLDER,
                        help="holds iso_639-3.json and iso_3166-1.json (default %(default)s)")
    folder = parser.parse_args(argv[1:]).folder
    started = time.perf_counter()
    language_records = load(folder, "iso_639-3.json", "639-3")
    country_records = load(folder, "iso_3166-1.json", "3166-1")
    loaded = time.perf_counter()

    # Each model works on a copy, since construction keeps and writes the dictionary it is given.
    languages = [Language(dict(record)) for record in language_records]
    countries = [Country(dict(record)) for record in country_records]
    built = time.perf_counter()

    kinds = Counter((language.scope, language.type) for language in languages)
    by_alpha_2 = {language.alpha_2: language for language in languages if language.alpha_2 is not None}
    by_country = {country.codes[0]: country for country in countries}
    official = sum(1 for country in countries if country.official_name is not None)
    longest = max(countries, key=lambda country: len(country.display_name)) if countries else None
    read = time.perf_counter()

    # A locale built from keywords: each nested model's raw data becomes the locale's, by reference.
    locales = []
    for tag in LOCALE_TAGS:
        language_code, country_code = tag.split("_")
        if language_code in by_alpha_2 and country_code in by_country:
            locales.append(Locale(tag=tag, language=by_alpha_2[language_code], country=by_country[country_code]))
    expected_locales = [{"tag": locale.tag, "language": raw(locale.language), "country": raw(locale.country)}
                        for locale in locales]

    failures = (round_trip_failures(languages, language_records) + round_trip_failures(countries, country_records)
                + round_trip_failures(locales, expected_locales))
    checked = time.perf_counter()

    print("%d languages (%d individual living, %d with a two-letter code), %d countries (%d with an official name)"
          % (len(languages), kinds[("I", "L")], len(by_alpha_2), len(countries), official))
    if longest is not None:
        print("longest country name: %s (%s)" % (longest.display_name, "/".join(longest.codes)))
    print("locales: %s" % (", ".join("%s=%s in %s" % (locale.tag, locale.language.name, locale.country.display_name)
                                     for locale in locales) or "none"))
    print("timings: load %.1f ms, build %.1f ms, read %.1f ms, write and check %.1f ms"
          % tuple(1000 * (b - a) for a, b in ((started, loaded), (loaded, built), (built, read), (read, checked))))
    for text in failures[:5]:
        print("did not come back unchanged: %s" % text)
    print("%d records written back, %d differ" % (len(languages) + len(countries) + len(locales), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
