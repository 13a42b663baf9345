#pragma once

#include <optional>
#include <string>
#include <string_view>

// Entity escaping of text that goes into, or comes out of, XML content.

// `text` with &, <, >, " and ' replaced by the predefined entity references.
std::string DQXMLEscapeEntities(std::string_view text);

// `text` with the predefined entity references (&amp; &lt; &gt; &quot; &apos;)
// and numeric character references (&#NN; &#xNN;) replaced by their
// characters. Other named references are kept as they are. nullopt when the
// text is malformed: an & without a following ";", or a numeric reference
// that is empty, not a number or not a Unicode scalar value.
std::optional<std::string> DQXMLUnescapeEntities(std::string_view text);
