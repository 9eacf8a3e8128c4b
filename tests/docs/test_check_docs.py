"""The documents' checker on small trees of its own: each rule it enforces
passes a tree that keeps it and fails one that breaks it."""
import pathlib
import shutil
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import check_docs  # noqa: E402

EXAMPLE = "#include <stdio.h>\nint main(void) { puts(\"hi\"); }\n"


def tree(tmp_path, readme, guide=None, example=EXAMPLE):
    (tmp_path / "docs").mkdir(parents=True)
    (tmp_path / "examples" / "c").mkdir(parents=True)
    (tmp_path / "examples" / "c" / "hello.c").write_text(example)
    (tmp_path / "README.md").write_text(readme)
    if guide is not None:
        (tmp_path / "docs" / "guide.md").write_text(guide)
    return tmp_path


def copy(body=EXAMPLE, marker="<!-- example: examples/c/hello.c -->"):
    return f"{marker}\n```c\n{body}```\n"


def test_example_copies(tmp_path):
    assert check_docs.check_examples(tree(tmp_path / "same", copy())) == []

    changed = check_docs.check_examples(tree(tmp_path / "changed", copy(EXAMPLE.replace("hi", "ho"))))
    assert changed == ["README.md:2: the copy of examples/c/hello.c differs from the file"]

    unmarked = check_docs.check_examples(tree(tmp_path / "unmarked", copy() + "\n```python\nprint(1)\n```\n"))
    assert unmarked == ["README.md:7: a python block with no example marker above it"]

    missing = check_docs.check_examples(tree(tmp_path / "missing", copy(marker="<!-- example: examples/c/gone.c -->")))
    assert missing == ["README.md:2: examples/c/gone.c does not exist", "examples/c/hello.c is shown in no document"]

    # A shell block needs no marker; an example file no document shows is reported.
    unshown = check_docs.check_examples(tree(tmp_path / "unshown", "```sh\nmake\n```\n"))
    assert unshown == ["examples/c/hello.c is shown in no document"]


def test_anchors_follow_the_markdown_hosts_rule(tmp_path):
    guide = ("# The pacer: deadlines that do not drift\n"
             "## `varnex_pacer_wait` and 1,000 ticks/s\n"
             "## Threads\n## Threads\n"
             "```sh\n# not a heading\n```\n")
    links = ("[a](docs/guide.md#the-pacer-deadlines-that-do-not-drift) "
             "[b](docs/guide.md#varnex_pacer_wait-and-1000-tickss) "
             "[c](docs/guide.md#threads) [d](docs/guide.md#threads-1) [e](#top) "
             "[f](https://example.invalid/x#y) `[g](nowhere.md)`\n# Top\n")
    assert check_docs.check_links(tree(tmp_path / "good", links, guide)) == []

    bad = ("[a](docs/guide.md#threads-2) [b](docs/other.md) [c](docs/guide.md#not-a-heading)"
           " [d](#The-Pacer) ![e](docs/chart.svg)\n")
    assert check_docs.check_links(tree(tmp_path / "bad", bad, guide)) == [
        "README.md:1: docs/guide.md#threads-2: no heading has the anchor #threads-2",
        "README.md:1: docs/other.md: no such file",
        "README.md:1: docs/guide.md#not-a-heading: no heading has the anchor #not-a-heading",
        "README.md:1: #The-Pacer: no heading has the anchor #The-Pacer",
        "README.md:1: docs/chart.svg: no such file",
    ]


HEADER = """typedef enum varnex_status {
    VARNEX_OK = 0,          /**< Success. */
    VARNEX_E_CANCELLED = -8 /**< VARNEX_E_FAKE = -99 in a comment is no status. */
} varnex_status;
#define VARNEX_PACER_H
#define VARNEX_CONTROL_BOOST 0x1u
#define VARNEX_CONTROL_AFFINITY 0x2u
"""
PACER = """constexpr uint32_t kDefaultBurstCap = 4;
constexpr int64_t kDefaultStepThresholdNs = 2000000;  // kDefaultHoldoverNs = 5;
void varnex_pacer_config_init(varnex_pacer_config* config)
{
    config->mode = VARNEX_MODE_SPIN;
    config->burst_cap = kDefaultBurstCap;
}
const char* VARNEX_CALL varnex_strerror(int status)
{
    switch (status) {
    case VARNEX_OK:
        return "success";
    case VARNEX_E_CANCELLED:
        return "the wait was "
               "cancelled";
    default:
        return "unknown status";
    }
}
"""
EXPORTS = """# key | ordinal | kind | i686 | x86_64 | ... | node
nVarnex | 8 | data | ?nVarnex@@3HA | ?nVarnex@@3HA | nVarnex | nVarnex | nVarnex | "nVarnex" | VARNEX_1
varnex_version | 9 | code | - | - | - | - | - | - | VARNEX_1.1
"""


def source_tree(tmp_path, readme):
    root = tree(tmp_path, readme + copy())
    for path, text in (("include/varnex/pacer.h", HEADER), ("src/pacer/pacer.cpp", PACER),
                       ("exports/varnex.exports", EXPORTS)):
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root


def test_generated_tables_follow_their_sources(tmp_path):
    regions = "".join(f"<!-- generated: {name} -->\n<!-- end generated -->\n"
                      for name in ("statuses", "pacer exports", "drop-in exports"))
    root = source_tree(tmp_path / "fresh", regions)
    assert len(check_docs.check_generated(root)) == 3
    assert check_docs.check_generated(root, write=True) == []
    written = (root / "README.md").read_text()
    assert "| `VARNEX_E_CANCELLED` | -8 | the wait was cancelled |\n| any other |  | unknown status |" in written
    assert "| 9 | `varnex_version` | `VARNEX_1.1` |\n\n<!-- end generated -->" in written
    assert "| 8 | `?nVarnex@@3HA` (data) | `?nVarnex@@3HA` (data) |" in written
    assert "VARNEX_E_FAKE" not in written
    assert check_docs.check_generated(root) == []

    for name, source, old, new, problem in (
            ("ordinal", "exports/varnex.exports", "| 9 |", "| 10 |",
             "README.md:12: the pacer exports table differs from its source, which gives "
             "'| 10 | `varnex_version` | `VARNEX_1.1` |' (--write rewrites it)"),
            ("text", "src/pacer/pacer.cpp", '"success"', '"done"',
             "README.md:4: the statuses table differs from its source, which gives "
             "'| `VARNEX_OK` | 0 | done |' (--write rewrites it)")):
        changed = shutil.copytree(root, tmp_path / name)
        (changed / source).write_text((changed / source).read_text().replace(old, new))
        assert check_docs.check_generated(changed) == [problem]

    unknown = source_tree(tmp_path / "unknown", "<!-- generated: flags -->\n<!-- end generated -->\n")
    assert check_docs.check_generated(unknown) == ["README.md:1: no table is generated as flags"]


def test_checked_tables_list_every_constant_and_its_value(tmp_path):
    def controls(*rows):
        return "<!-- checked: VARNEX_CONTROL_ -->\n| control | bit | costs |\n|---|---|---|\n" + \
               "".join(f"| `{name}` | `{value}` | some |\n" for name, value in rows) + "\nText.\n"

    good = ("VARNEX_CONTROL_BOOST", "0x1"), ("VARNEX_CONTROL_AFFINITY", "2")
    assert check_docs.check_tables(source_tree(tmp_path / "good", controls(*good))) == []
    bad = ("VARNEX_CONTROL_BOOST", "0x4"), ("VARNEX_CONTROL_MMCSS", "0x40")
    assert check_docs.check_tables(source_tree(tmp_path / "bad", controls(*bad))) == [
        "README.md:2: the table of VARNEX_CONTROL_ leaves out VARNEX_CONTROL_AFFINITY",
        "README.md:2: the table of VARNEX_CONTROL_ lists VARNEX_CONTROL_MMCSS, which the headers do not define",
        "README.md:2: the table of VARNEX_CONTROL_ gives VARNEX_CONTROL_BOOST as 0x4; the headers define it as 0x1",
    ]
    swapped = source_tree(tmp_path / "swapped", controls(*reversed(good)))
    assert check_docs.check_tables(swapped) == [
        "README.md:2: the table of VARNEX_CONTROL_ is not in the headers' order"]


def test_facts_in_prose_hold_against_their_definitions(tmp_path):
    facts = ("A step of 2 ms<!-- fact: src/pacer kDefaultStepThresholdNs -->, 2,000 µs<!-- fact: "
             "src/pacer/pacer.cpp kDefaultStepThresholdNs -->; a burst of 4<!-- fact: src/pacer config->burst_cap -->; "
             "`VARNEX_MODE_SPIN`<!-- fact: src/pacer config->mode -->; as text, "
             "`3 ms<!-- fact: src/pacer kDefaultStepThresholdNs -->`.\n")
    assert check_docs.check_facts(source_tree(tmp_path / "good", facts)) == []

    # The definitions may move between the files of the folder a marker names.
    moved = source_tree(tmp_path / "moved", facts)
    (moved / "src/pacer/config.cpp").write_text(PACER.split("void")[0])
    (moved / "src/pacer/pacer.cpp").write_text("void" + PACER.split("void", 1)[1])
    assert check_docs.check_facts(moved) == [
        "README.md:1: src/pacer/pacer.cpp defines kDefaultStepThresholdNs nowhere"]

    wrong = ("3 ms<!-- fact: src/pacer kDefaultStepThresholdNs --> 2000000 ns<!-- fact: src/pacer kDefaultBurstCap --> "
             "`VARNEX_MODE_SLEEP`<!-- fact: src/pacer config->mode --> 1 s<!-- fact: src/pacer kDefaultHoldoverNs --> "
             "as ever<!-- fact: src/pacer kDefaultBurstCap -->\n")
    assert check_docs.check_facts(source_tree(tmp_path / "wrong", wrong)) == [
        "README.md:1: '3 ms', but src/pacer defines kDefaultStepThresholdNs as 2000000",
        "README.md:1: '2000000 ns', but src/pacer defines kDefaultBurstCap as 4",
        "README.md:1: '`VARNEX_MODE_SLEEP`', but src/pacer defines config->mode as VARNEX_MODE_SPIN",
        "README.md:1: src/pacer defines kDefaultHoldoverNs nowhere",
        "README.md:1: no value just before the fact kDefaultBurstCap",
    ]
