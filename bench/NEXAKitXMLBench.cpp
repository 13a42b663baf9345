// Parsing a printer status document of about 100 KiB and running 20 XPath
// queries on it, through the document wrappers and with libxml2 alone.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <string>

#include "DQXMLDocument.h"
#include "DQXMLElement.h"

namespace {

// Nested elements in two namespaces, with attributes and text.
const std::string& printerDocument() {
  static const std::string document = [] {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<ps:Status xmlns:ps=\"urn:printer:status\" "
        "xmlns:dd=\"urn:printer:dictionary\">\n"
        "  <dd:Version><dd:Revision>7.216</dd:Revision><dd:Date>2011-02-08</dd:Date></dd:Version>\n"
        "  <ps:Alerts>\n";
    for (int i = 0; i < 8; ++i) {
      xml += "    <ps:Alert dd:sequence=\"" + std::to_string(i) + "\"><ps:AlertID>cartridgeLow" +
             std::to_string(i) + "</ps:AlertID><dd:Severity>" + (i % 2 ? "Warning" : "Info") +
             "</dd:Severity></ps:Alert>\n";
    }
    xml += "  </ps:Alerts>\n";
    const char* colors[] = {"cyan", "magenta", "yellow", "black"};
    for (int i = 0; xml.size() < 100 * 1024 - 400; ++i) {
      xml += "  <ps:Supply dd:id=\"s" + std::to_string(i) + "\" kind=\"ink\" state=\"" + (i % 5 ? "ok" : "low") +
             "\">\n    <dd:Level>" + std::to_string((i * 37) % 100) + "</dd:Level>\n    <dd:Description>" +
             "Original ink cartridge &amp; printhead " + std::to_string(i) + "</dd:Description>\n" +
             "    <dd:Info><dd:Color>" + colors[i % 4] + "</dd:Color><dd:Serial>CN" + std::to_string(1000000 + i) +
             "</dd:Serial><dd:Installed>2023-0" + std::to_string(1 + i % 9) + "-1" + std::to_string(i % 10) +
             "</dd:Installed></dd:Info>\n  </ps:Supply>\n";
    }
    xml += "  <dd:Footer>end</dd:Footer>\n</ps:Status>\n";
    return xml;
  }();
  return document;
}

// What a session asks of one status document.
const char* const kQueries[20] = {
    "/ps:Status/dd:Version/dd:Revision",
    "/ps:Status/dd:Version/dd:Date",
    "/ps:Status/ps:Alerts/ps:Alert",
    "/ps:Status/ps:Alerts/ps:Alert[dd:Severity='Warning']/ps:AlertID",
    "/ps:Status/ps:Supply[1]/dd:Level",
    "/ps:Status/ps:Supply[@dd:id='s42']/dd:Info/dd:Serial",
    "/ps:Status/ps:Supply[last()]/dd:Description",
    "/ps:Status/ps:Supply[@state='low']/@dd:id",
    "/ps:Status/ps:Supply[dd:Level < 5]/dd:Info/dd:Color",
    "/ps:Status/ps:Supply[dd:Info/dd:Color='black'][1]/dd:Level",
    "count(/ps:Status/ps:Supply)",
    "/ps:Status/dd:Footer",
    "/ps:Status/ps:Supply[10]/dd:Info/*",
    "/ps:Status/ps:Supply[@dd:id='s7']/@kind",
    "/ps:Status/ps:Supply[position() <= 3]/dd:Level/text()",
    "/ps:Status/ps:Alerts/ps:Alert[1]/@dd:sequence",
    "/ps:Status/ps:Supply[dd:Info/dd:Serial='CN1000100']",
    "/ps:Status/ps:Supply[200]/dd:Info/dd:Installed",
    "/ps:Status/ps:Supply[dd:Level = 99]/dd:Description",
    "boolean(/ps:Status/ps:Alerts)",
};

void ThroughTheWrappers(benchmark::State& state) {
  const std::string& xml = printerDocument();
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size());
  std::size_t found = 0;
  for (auto _ : state) {
    platform::ErrorPtr error;
    auto document = DQXMLDocument::documentWithData(bytes, &error);
    for (const char* query : kQueries) found += document->nodesForXPath(query, &error).size();
    benchmark::DoNotOptimize(document);
  }
  state.counters["nodes"] = static_cast<double>(found) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(ThroughTheWrappers)->Unit(benchmark::kMicrosecond);

void WithLibxml2Alone(benchmark::State& state) {
  const std::string& xml = printerDocument();
  const int options = XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NOBLANKS | XML_PARSE_NONET |
                      XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  std::size_t found = 0;
  for (auto _ : state) {
    xmlDocPtr document = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, options);
    xmlXPathContextPtr context = xmlXPathNewContext(document);
    for (xmlNsPtr ns = xmlDocGetRootElement(document)->nsDef; ns; ns = ns->next) {
      xmlXPathRegisterNs(context, ns->prefix, ns->href);
    }
    for (const char* query : kQueries) {
      context->node = reinterpret_cast<xmlNodePtr>(document);
      xmlXPathObjectPtr result = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(query), context);
      if (result && result->type == XPATH_NODESET && result->nodesetval) {
        for (int i = 0; i < result->nodesetval->nodeNr; ++i) benchmark::DoNotOptimize(result->nodesetval->nodeTab[i]);
        found += static_cast<std::size_t>(result->nodesetval->nodeNr);
      }
      xmlXPathFreeObject(result);
    }
    xmlXPathFreeContext(context);
    xmlFreeDoc(document);
  }
  state.counters["nodes"] = static_cast<double>(found) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(WithLibxml2Alone)->Unit(benchmark::kMicrosecond);

}  // namespace
