// sim/html_report.h - the run report as one self-contained HTML page.
//
// write_run_page() reads what a run left in DIR/runs/N (report.json,
// frames.jsonl, frames/*.png, flash.log) and writes DIR/runs/N/report.html:
// CSS and the screen frames inline (PNG as data: URIs), no script, no
// network access needed to view or print it. The helpers below are what
// every section of the page uses to put text and bytes into HTML.
#pragma once

#include <string>

// Text for an HTML element or a quoted attribute value: & < > " ' escaped.
std::string html_escape(const std::string& text);
// Standard base64 with padding, for data: URIs.
std::string base64_encode(const std::string& bytes);
// Reads a whole file, at most `limit` bytes; "" when it cannot be read.
std::string report_read_file(const std::string& path, size_t limit);

// The page for the run in `run_dir`. Throws std::runtime_error when the
// run has no readable report.json.
std::string run_page_html(const std::string& run_dir);
// Writes run_dir/report.html and returns its path. Throws
// std::runtime_error (with path and reason) when it cannot.
std::string write_run_page(const std::string& run_dir);
