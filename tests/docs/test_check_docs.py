"""The documents' checker on small trees of its own: each rule it enforces
passes a tree that keeps it and fails one that breaks it."""
import pathlib
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
