#!/usr/bin/python3
# Reads an exported history table back with independent readers and prints it
# as JSON, so a test compares what another program sees.
#   read_export.py html FILE   the page's charset and its table rows:
#                              [["th"|"td"|"group", [cell texts]], ...]
#   read_export.py xls FILE    the workbook's sheets: [{"name", "rows": [[cell, ...]]}]
#                              with each cell as [type, value]: "text" str, "number"
#                              float, "date" "dd.mm.yyyy hh:mm:ss", "empty" null
import json
import sys
from html.parser import HTMLParser


class TableReader(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.charset = None
        self.rows = []
        self.row = None
        self.cell = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "meta" and "charset" in attrs:
            self.charset = attrs["charset"]
        elif tag == "tr":
            self.row = ["group" if (attrs.get("class") or "").startswith("group") else "td", []]
        elif tag in ("td", "th") and self.row is not None:
            if tag == "th":
                self.row[0] = "th"
            self.cell = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.row is not None and self.cell is not None:
            self.row[1].append(self.cell)
            self.cell = None
        elif tag == "tr" and self.row is not None:
            self.rows.append(self.row)
            self.row = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data


def read_html(path):
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")
    reader = TableReader()
    reader.feed(text)
    reader.close()
    return {"charset": reader.charset, "rows": reader.rows}


def read_xls(path):
    import xlrd

    book = xlrd.open_workbook(path, formatting_info=True)
    sheets = []
    for sheet in book.sheets():
        rows = []
        for r in range(sheet.nrows):
            cells = []
            for c in range(sheet.ncols):
                cell = sheet.cell(r, c)
                if cell.ctype == xlrd.XL_CELL_TEXT:
                    cells.append(["text", cell.value])
                elif cell.ctype == xlrd.XL_CELL_DATE:
                    t = xlrd.xldate_as_tuple(cell.value, book.datemode)
                    fmt = book.format_map[book.xf_list[cell.xf_index].format_key].format_str
                    cells.append(["date", "%02d.%02d.%04d %02d:%02d:%02d" % (t[2], t[1], t[0], t[3], t[4], t[5]), fmt])
                elif cell.ctype == xlrd.XL_CELL_NUMBER:
                    cells.append(["number", cell.value])
                else:
                    cells.append(["empty", None])
            rows.append(cells)
        sheets.append({"name": sheet.name, "rows": rows})
    return {"sheets": sheets}


if __name__ == "__main__":
    kind, path = sys.argv[1], sys.argv[2]
    result = read_html(path) if kind == "html" else read_xls(path)
    json.dump(result, sys.stdout, ensure_ascii=False)
