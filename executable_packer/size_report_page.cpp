// The size report's page (see size_report.h): one HTML file with its style and script inline, the
// summary, the parts, the byte map and the shader sources, each coloured by cost.
#include "size_report.h"

#include "decimal_text.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string_view>

namespace executable_packer::size_report {

namespace {

std::string escaped(std::string_view text)
{
    std::string html;
    for (char c : text)
        switch (c)
        {
        case '&':
            html += "&amp;";
            break;
        case '<':
            html += "&lt;";
            break;
        case '>':
            html += "&gt;";
            break;
        case '"':
            html += "&quot;";
            break;
        default:
            html += c;
        }
    return html;
}

std::string shade_class(double bits)
{
    return "k" + std::to_string(shade_of(bits));
}

constexpr std::string_view style = R"css(
body{font:14px/1.45 sans-serif;margin:1.5em 1.5em 4em;color:#222;background:#fff}
h1{font-size:1.5em}h2{font-size:1.2em;margin-top:2em}h3{font-size:1.05em}
table{border-collapse:collapse}th,td{padding:1px 8px;text-align:right}
th:first-child,td:first-child{text-align:left}tr.all>*{border-top:1px solid #888}
code,.map,.src,.compact{font-family:monospace;font-size:12px}i{font-style:normal}
.map div{white-space:pre;line-height:1.35}.map b{font-weight:normal;color:#777}.map .h i{margin-right:3px}
.legend i{display:inline-block;padding:0 6px}
.panes{display:flex;gap:1.5em;align-items:flex-start}
.src td{padding:0 6px;white-space:pre;text-align:left;line-height:1.3}.src td.n,.src td.m{text-align:right}
.compact{white-space:pre-wrap;word-break:break-all;max-width:72ch;line-height:1.35}
#status{position:fixed;left:0;right:0;bottom:0;padding:4px 1.5em;background:#222;color:#eee;font:12px monospace}
)css";

// Details of what the pointer is on in the status line and its title, with its part or line
// outlined, and the totals that the map and the margins hold written out for the reader to
// check against the tables.
constexpr std::string_view script = R"js(
const status = document.getElementById("status"), highlight = document.getElementById("highlight");
function show(element, text, outlined) {
  element.title = text;
  status.textContent = text;
  highlight.textContent = outlined + "{outline:1px solid #000}";
}
function hex(offset) { return "0x" + offset.toString(16).padStart(4, "0"); }
function packed(bits) { return (bits / 8).toFixed(1); }
document.getElementById("map").addEventListener("mouseover", event => {
  const cell = event.target;
  if (cell.tagName !== "I") return;
  const offset = Number(cell.parentNode.parentNode.dataset.o) +
                 Array.prototype.indexOf.call(cell.parentNode.children, cell);
  show(cell, `${hex(offset)}: ${partNames[partOf[offset]]}, ${bits[offset].toFixed(2)} bits`,
       `#map .p${partOf[offset]}`);
});
for (const stage of document.querySelectorAll(".stage")) {
  const characters = stage.querySelectorAll(".compact i"), start = Number(stage.dataset.offset);
  stage.addEventListener("mouseover", event => {
    const item = event.target.closest("[data-l]");
    if (!item) return;
    const line = item.dataset.l, outlined = `#${stage.id} [data-l="${line}"]`;
    if (item.tagName === "I") {
      const index = Array.prototype.indexOf.call(characters, item);
      show(item, `${stage.dataset.name} line ${line}: ${bits[start + index].toFixed(2)} bits`, outlined);
    } else {
      const count = stage.querySelectorAll(`.compact [data-l="${line}"]`).length;
      show(item, `${stage.dataset.name} line ${line}: ${count} characters, ${packed(Number(item.dataset.b))} bytes`,
           outlined);
    }
  });
  let margins = 0;
  for (const row of stage.querySelectorAll(".src tr[data-b]")) margins += Number(row.dataset.b);
  stage.querySelector(".margins").textContent = packed(margins);
  stage.querySelector(".characters").textContent = characters.length;
}
document.getElementById("map-bytes").textContent = document.querySelectorAll("#map .h i").length;
document.getElementById("map-packed").textContent = packed(bits.reduce((sum, b) => sum + b, 0));
)js";

// The colour scale's classes, k0 to k8, light text on the darkest.
std::string shade_rules()
{
    std::string rules;
    for (int shade = 0; shade < shade_count; ++shade)
    {
        char rule[64];
        support::Colour colour = shade_colour(shade);
        std::snprintf(rule, sizeof rule, ".k%d{background:#%02x%02x%02x%s}\n", shade, colour[0], colour[1], colour[2],
                      shade >= light_text_shade ? ";color:#fff" : "");
        rules += rule;
    }
    return rules;
}

void summary(const SizeReport& report, std::string& html)
{
    std::size_t packed_size = 0;
    html += "<h2>Summary</h2>\n<table>\n<tr><th>File</th><th>Bytes</th></tr>\n<tr><td><code>" +
            escaped(report.program_name) + "</code>, the program</td><td id=\"program-bytes\">" +
            std::to_string(report.program.size()) + "</td></tr>\n";
    std::string ways;
    for (const Way& way : report.ways)
    {
        bool shipped = way.name == report.shipped;
        packed_size = shipped ? way.stub + way.payload : packed_size;
        ways += "<tr id=\"way-" + escaped(way.name) + "\"><td>" + escaped(way.name) + (shipped ? " (shipped)" : "") +
                "</td><td>" + std::to_string(way.stub) + "</td><td>" + std::to_string(way.payload) +
                "</td><td class=\"total\">" + std::to_string(way.stub + way.payload) + "</td></tr>\n";
    }
    html += "<tr><td><code>" + escaped(report.packed_name) + "</code>, packed</td><td id=\"packed-bytes\">" +
            std::to_string(packed_size) + "</td></tr>\n</table>\n<p>Both ways of packing:</p>\n<table>\n" +
            "<tr><th>Way</th><th>Stub</th><th>Payload</th><th>Total</th></tr>\n" + ways + "</table>\n";
    html += "<p>With the models that ship (" + std::to_string(report.contexts) +
            " contexts, 4 bytes each in the decoder's payload), the coder's code length for the program is <b "
            "id=\"code-length\">" +
            support::fixed_decimal(total_bits(report) / 8, 1) +
            "</b> bytes: the sum of what each bit costs, -log<sub>2</sub> of the probability the models gave it. "
            "The range coder's stream is that and the few bytes of its ending. Below, every byte of the program "
            "is counted in one part, and each part's packed bytes are what its bytes cost. The map shows <span "
            "id=\"map-bytes\"></span> bytes that cost <span id=\"map-packed\"></span> bytes.</p>\n";
}

void parts_table(const SizeReport& report, std::string& html)
{
    double total = total_bits(report);
    std::vector<const ProgramPart*> costliest;
    for (const ProgramPart& part : report.parts)
        costliest.push_back(&part);
    std::stable_sort(costliest.begin(), costliest.end(),
                     [](const ProgramPart* a, const ProgramPart* b) { return a->bits > b->bits; });
    html += "<h2>Parts, costliest first</h2>\n<table id=\"parts\">\n<tr><th>Part</th><th>Where</th><th>Bytes</th>"
            "<th>Packed bytes</th><th>Bits per byte</th><th>Share</th></tr>\n";
    for (const ProgramPart* part : costliest)
    {
        Range first = part->ranges.front(), last = part->ranges.back();
        std::string where = hex_offset(first.offset) + "&ndash;" + hex_offset(last.offset + last.size - 1);
        if (part->ranges.size() > 1)
            where += " in " + std::to_string(part->ranges.size()) + " runs";
        html += "<tr class=\"part\"><td>" + escaped(part->name) + "</td><td>" + where + "</td><td class=\"bytes\">" +
                std::to_string(part->bytes) + "</td><td class=\"packed\">" + support::fixed_decimal(part->bits / 8, 1) +
                "</td><td class=\"" + shade_class(part->bits / double(part->bytes)) + "\">" +
                support::fixed_decimal(part->bits / double(part->bytes), 2) + "</td><td>" +
                support::fixed_decimal(total > 0 ? 100 * part->bits / total : 0, 1) + "%</td></tr>\n";
    }
    html += "<tr class=\"all\"><th>All</th><td></td><td>" + std::to_string(report.program.size()) + "</td><td>" +
            support::fixed_decimal(total / 8, 1) + "</td><td>" +
            support::fixed_decimal(report.program.empty() ? 0 : total / double(report.program.size()), 2) +
            "</td><td>100%</td></tr>\n</table>\n";
}

void byte_map(const SizeReport& report, std::string& html)
{
    constexpr std::size_t columns = 32;
    std::vector<std::size_t> part_of = part_of_bytes(report);
    html += "<h2>The byte map</h2>\n<p>Every byte of the program in hex and as a character where it prints, "
            "coloured by its cost; the pointer on one shows its offset, part and bits, and outlines its part.</p>\n"
            "<p class=\"legend\">Bits per byte: ";
    for (int shade = 0; shade < shade_count; ++shade)
        html += "<i class=\"k" + std::to_string(shade) + "\">" +
                (shade == 0 ? std::string("&lt;1") : std::to_string(shade) + (shade + 1 == shade_count ? "+" : "")) +
                "</i>";
    html += "</p>\n<div id=\"map\" class=\"map\">\n";
    for (std::size_t row = 0; row < report.program.size(); row += columns)
    {
        std::string hex_cells, characters;
        for (std::size_t i = row; i < std::min(row + columns, report.program.size()); ++i)
        {
            std::string open = "<i class=\"" + shade_class(report.costs[i]) + " p" + std::to_string(part_of[i]) + "\">";
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02x", report.program[i]);
            char c = static_cast<char>(report.program[i]);
            hex_cells += open + digits + "</i>";
            characters += open + (c >= ' ' && c <= '~' ? escaped(std::string(1, c)) : std::string("&middot;")) + "</i>";
        }
        html += "<div data-o=\"" + std::to_string(row) + "\"><b>" + hex_offset(row) + "</b> <span class=\"h\">" +
                hex_cells + "</span> <span class=\"c\">" + characters + "</span></div>\n";
    }
    html += "</div>\n";
}

void shader_panels(const SizeReport& report, std::string& html)
{
    if (report.shaders.empty())
        return;
    html += "<h2>The shader sources</h2>\n<p>Each source as written, each line with what the characters of the "
            "compact text made from its tokens cost, in packed bytes (an inlined function's at the lines where "
            "it is written), and the compact text beside it character by character. A line's colour is its "
            "characters' bits per byte; the pointer on a line or a character outlines the line and its "
            "characters.</p>\n";
    for (std::size_t index = 0; index < report.shaders.size(); ++index)
    {
        const ShaderCost& shader = report.shaders[index];
        const ShaderSource& source = shader.source;
        std::vector<std::size_t> counts(shader.line_bits.size());
        for (int line : source.lines)
            ++counts[std::size_t(line - 1)];
        double text_bits = std::accumulate(shader.line_bits.begin(), shader.line_bits.end(), shader.end_bits);
        html += "<section class=\"stage\" id=\"stage-" + std::to_string(index) + "\" data-name=\"" +
                escaped(source.source_name) + "\" data-offset=\"" + std::to_string(shader.offset) + "\">\n<h3>" +
                escaped(source.source_name) + ": <code>" + escaped(source.text_name) +
                "</code>, <span "
                "class=\"characters\"></span> characters and a closing NUL, <span class=\"text-packed\">" +
                support::fixed_decimal(text_bits / 8, 1) +
                "</span> packed bytes; the margins add up to <span "
                "class=\"margins\"></span></h3>\n<div class=\"panes\">\n<table class=\"src\">\n";
        std::string_view rest = source.source;
        for (std::size_t line = 0; line < shader.line_bits.size(); ++line)
        {
            std::string_view text = rest.substr(0, rest.find('\n'));
            rest.remove_prefix(std::min(text.size() + 1, rest.size()));
            std::string number = std::to_string(line + 1);
            if (counts[line] == 0)
            {
                html +=
                    "<tr><td class=\"n\">" + number + "</td><td class=\"m\"></td><td>" + escaped(text) + "</td></tr>\n";
                continue;
            }
            double bits = shader.line_bits[line];
            html += "<tr class=\"" + shade_class(bits / double(counts[line])) + "\" data-l=\"" + number +
                    "\" data-b=\"" + support::fixed_decimal(bits, 3) + "\"><td class=\"n\">" + number +
                    "</td><td class=\"m\">" + support::fixed_decimal(bits / 8, 1) + "</td><td>" + escaped(text) +
                    "</td></tr>\n";
        }
        html += "<tr class=\"" + shade_class(shader.end_bits) + "\" data-b=\"" +
                support::fixed_decimal(shader.end_bits, 3) + "\"><td class=\"n\"></td><td class=\"m\">" +
                support::fixed_decimal(shader.end_bits / 8, 1) +
                "</td><td>(the closing NUL)</td></tr>\n</table>\n<div class=\"compact\">";
        for (std::size_t i = 0; i < source.lines.size(); ++i)
        {
            char c = static_cast<char>(report.program[shader.offset + i]);
            html += "<i class=\"" + shade_class(report.costs[shader.offset + i]) + "\" data-l=\"" +
                    std::to_string(source.lines[i]) + "\">" +
                    (c == '\n' ? std::string("&crarr;\n") : escaped(std::string(1, c))) + "</i>";
        }
        html += "</div>\n</div>\n</section>\n";
    }
}

void script_data(const SizeReport& report, std::string& html)
{
    std::vector<std::size_t> part_of = part_of_bytes(report);
    html += "const bits = [";
    for (std::size_t i = 0; i < report.costs.size(); ++i)
        html += (i ? "," : "") + support::fixed_decimal(report.costs[i], 3);
    html += "];\nconst partOf = [";
    for (std::size_t i = 0; i < part_of.size(); ++i)
        html += (i ? "," : "") + std::to_string(part_of[i]);
    html += "];\nconst partNames = [";
    for (std::size_t i = 0; i < report.parts.size(); ++i)
    {
        std::string name;
        for (char c : report.parts[i].name)
            name += c == '"' || c == '\\' ? std::string("\\") + c : c == '<' ? std::string("\\x3c") : std::string(1, c);
        html += (i ? ",\"" : "\"") + name + "\"";
    }
    html += "];";
}

} // namespace

std::string page(const SizeReport& report)
{
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
                       escaped(report.program_name) + ": where the bytes go</title>\n<style>" + std::string(style) +
                       shade_rules() +
                       "</style>\n<style id=\"highlight\"></style>\n</head>\n<body>\n<h1>Where the bytes of <code>" +
                       escaped(report.program_name) + "</code> go</h1>\n";
    summary(report, html);
    parts_table(report, html);
    byte_map(report, html);
    shader_panels(report, html);
    html += "<div id=\"status\">Point at a byte, a line or a character for its details.</div>\n<script>\n"
            "\"use strict\";\n";
    script_data(report, html);
    html += std::string(script) + "</script>\n</body>\n</html>\n";
    return html;
}

} // namespace executable_packer::size_report
