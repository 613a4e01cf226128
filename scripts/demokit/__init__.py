"""Parts of the demo (scripts/demo.py): the codecs compared, the metrics, the
charts and the HTML report. Each report section is built on its own, so a new
section is one function that returns a `page.Section`."""
