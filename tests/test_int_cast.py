"""Field(int) and Field(str) give what int() and str() give for every exact str, through construction and writes."""
import random
import sys
import unittest

from support import Field, model


def corpus():
    """Texts near every edge of int()'s base-10 syntax, and random mixes of its characters."""
    words = ["0", "7", "42", "256", "257", "-5", "-6", "-0", "+0", "+1", "+256", "-256", "1000000", "-1000000"]
    words += ["", "+", "-", "+-1", "-+1", "--1", "++1", "- 1", "+ 1", "1-", "1+"]
    words += [" 42", "42 ", "\t-42\n", " +7 ", "\x0b1\x0c", "\xa042", "42\u2003", "\u3000-9\u3000", "4 2", " ", "\n"]
    words += ["1_000", "-1_0", "+0_7", "0_7", "_1", "1_", "1__0", "-_1", "_", "1_000_000_000_000_000_000"]
    words += ["007", "-007", "00", "0" * 30 + "1", "-" + "0" * 40, "0" * 18 + "5"]
    words += ["\u0664\u0662", "-\u0664\u0662", "\uff14\uff12", "\u0967\u0968", "4\u0662", "\u00b2", "\u00bd",
              "\u0664_\u0662", "\U0001d7ce", "\u0e51\u0e52"]
    words += ["abc", "4.2", "0x10", "1e3", "12a", "a12", "\x00", "1\x002", "\u0664a", "\U0001f642", "\ud800",
              "inf", "nan", "True", "1j"]
    for n in (2 ** 31, 2 ** 32, 2 ** 62, 2 ** 63, 2 ** 64, 10 ** 17, 10 ** 18, 10 ** 19, 10 ** 20):
        for v in (n - 2, n - 1, n, n + 1, n + 2):
            words += [str(v), "-" + str(v), "+" + str(v), "0" + str(v)]
    for k in range(16, 23):
        words += ["9" * k, "-" + "9" * k, "+" + "9" * k, "1" + "0" * (k - 1), "1" * k + "x"]
    limit = sys.get_int_max_str_digits() if hasattr(sys, "get_int_max_str_digits") else None
    for k in {5000, 100000} | ({limit - 1, limit, limit + 1} if limit else set()):
        words += ["7" * k, "-" + "7" * k, "0" * k, "1" + "_0" * (k // 2)]
    rng = random.Random(20)
    alphabet = "0123456789" * 3 + "+-_ \t\u0664\uff14a."
    words += ["".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 24))) for _ in range(3000)]
    return words


def outcome(call):
    try:
        return "ok", call()
    except Exception as error:  # noqa: BLE001 - the error is the result compared
        return "error", (type(error), str(error))


class IntCastTest(unittest.TestCase):
    def test_against_int(self):
        M = model(type("M", (), {"v": Field(int), "s": Field(str, optional=True)}))
        ways = {"dict": lambda t: M({"v": t}).v, "keyword": lambda t: M(v=t).v}
        instance = M(v=0)

        def write(t):
            instance.v = t
            return instance.v

        ways["write"] = write
        for text in corpus():
            want = outcome(lambda: int(text))
            for way, call in ways.items():
                got = outcome(lambda: call(text))
                with self.subTest(text=text[:40], length=len(text), way=way):
                    self.assertEqual(got[0], want[0], got)
                    if want[0] == "error":
                        self.assertEqual(got, want)
                        continue
                    self.assertIs(type(got[1]), int)
                    self.assertEqual(got[1], want[1])
                    if -5 <= want[1] <= 256:
                        self.assertIs(got[1], want[1])
            with self.subTest(text=text[:40], cast="str"):
                self.assertIs(M(v=0, s=text).s, text)


if __name__ == "__main__":
    unittest.main()
