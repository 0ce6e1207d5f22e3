// Constant tables of the reader: encoding names to code pages, code pages to iconv names, and
// the character entity references of HTML 4.01 (plus "apos"), both kept in hash buckets.
#include "XmlTables.h"

#include <algorithm>

namespace xml {

// 253 entities in 130 buckets: digit name length, 4-digit code point, lower-case name.
const char* const kEntityBuckets[kEntityBucketCount] = {
    "60216oslash60248oslash60217ugrave60249ugrave",
    "58968lceil50937omega50969omega60221yacute60253yacute",
    "50916delta50948delta50206icirc50238icirc68472weierp",
    "40185sup1",
    "68970lfloor40178sup2",
    "60164curren50922kappa50954kappa58212mdash40179sup3",
    "59830diams58211ndash",
    "68855otimes58969rceil",
    "50212ocirc50244ocirc50338oelig50339oelig58482trade",
    "50197aring50229aring50931sigma50963sigma",
    "50180acute68971rfloor50732tilde",
    "68249lsaquo",
    "58734infin68201thinsp",
    "50161iexcl",
    "50920theta50952theta50219ucirc50251ucirc",
    "58254oline",
    "58260frasl68727lowast",
    "59827clubs60191iquest68250rsaquo",
    "58629crarr50181micro",
    "58222bdquo",
    "",
    "60177plusmn58243prime58242prime",
    "40914beta40946beta",
    "",
    "",
    "",
    "50171laquo50215times",
    "40710circ",
    "49001lang",
    "58220ldquo40175macr",
    "40182para50163pound48476real",
    "",
    "58713notin50187raquo",
    "48773cong50223szlig50978upsih",
    "58776asymp58801equiv49002rang58218sbquo",
    "48659darr48595darr40402fnof58221rdquo50222thorn50254thorn",
    "40162cent58722minus",
    "58707exist40170ordf",
    "",
    "58709empty48660harr48596harr40921iota40953iota",
    "",
    "40196auml40228auml48226bull40167sect48838sube",
    "",
    "48656larr48592larr58853oplus",
    "30176deg58216lsquo40186ordm",
    "40039apos40203euml40235euml48712isin40160nbsp",
    "40918zeta40950zeta",
    "38743and48195emsp48719prod",
    "38745cap30935chi30967chi48194ensp",
    "40207iuml40239iuml48706part48869perp48658rarr48594rarr",
    "38736ang48836nsub58217rsquo",
    "",
    "48901sdot48657uarr48593uarr",
    "40169copy48364euro",
    "30919eta30951eta",
    "40214ouml40246ouml48839supe",
    "",
    "",
    "30038amp30174reg",
    "48733prop",
    "",
    "30208eth30240eth30934phi30966phi40220uuml40252uuml",
    "",
    "",
    "",
    "40376yuml40255yuml",
    "",
    "40034quot48204zwnj",
    "38746cup68756there4",
    "30929rho30961rho38764sim",
    "38834sub30932tau30964tau",
    "38747int38206lrm38207rlm",
    "30936psi30968psi30165yen",
    "",
    "28805ge30168uml",
    "30982piv",
    "",
    "30172not",
    "",
    "28804le",
    "30173shy",
    "39674loz28800ne38721sum",
    "",
    "",
    "38835sup",
    "28715ni",
    "",
    "20928pi20960pi38205zwj",
    "",
    "20062gt60923lambda60955lambda",
    "",
    "",
    "60199ccedil60231ccedil",
    "",
    "20060lt",
    "28744or20926xi20958xi",
    "20924mu20956mu",
    "20925nu20957nu",
    "68225dagger68224dagger",
    "80977thetasym",
    "",
    "",
    "",
    "78501alefsym",
    "",
    "",
    "",
    "60193aacute60225aacute60195atilde60227atilde",
    "",
    "60247divide70927omicron70959omicron",
    "60192agrave60224agrave",
    "60201eacute60233eacute60962sigmaf",
    "70917epsilon70949epsilon",
    "",
    "60200egrave60232egrave",
    "60205iacute60237iacute",
    "",
    "",
    "68230hellip60204igrave60236igrave",
    "60166brvbar",
    "68704forall58711nabla60209ntilde60241ntilde69824spades",
    "60189frac1260183middot60211oacute60243oacute60213otilde60245otilde",
    "",
    "50184cedil60188frac14",
    "50194acirc50226acirc50198aelig50230aelig60210ograve60242ograve",
    "60190frac3450915gamma50947gamma58465image58730radic",
    "60352scaron60353scaron",
    "69829hearts60218uacute60250uacute",
    "50913alpha50945alpha50202ecirc50234ecirc70933upsilon70965upsilon",
    "68240permil",
};

// 269 charset names in 155 buckets: 2-digit name length, 5-digit code page, lower-case name.
const char* const kCharsetBuckets[kCharsetBucketCount] = {
    "0800949ksc_5601",
    "1951932cseucpkdfmtjapanese",
    "03008508500228591l11301200unicodelittle1565001x-unicode20utf8",
    "03004374370228592l2",
    "03008528520600850ibm8500228593l3",
    "0600437ibm4370228594l40701201ucs-2be",
    "0600852ibm8520228599l51354936windows-54936",
    "0620127ibm3670600862ibm8620712001ucs-4be",
    "0500936x-gbk",
    "03008668660628591ibm8190600855ibm855",
    "1028591iso-ir-1000228605l90728591latin-10300949uhc",
    "0600857ibm8570600866ibm8661028592iso-ir-1011028594iso-ir-1100728592latin-2",
    "",
    "1628598csisolatinhebrew0320866koi",
    "1000950big5-hkscs",
    "0701200ucs-2le0712001utf32be",
    "0828596asmo-7080350220jis1765000unicode-1-1-utf-71765000unicode-2-0-utf-70612000utf-32",
    "0628598hebrew0712000ucs-4le1765001unicode-1-1-utf-81765001unicode-2-0-utf-80701201utf16be0"
    "551932x-euc",
    "1028597iso-ir-1261028595iso-ir-1440728605latin-90601200utf-16",
    "1501200iso-10646-ucs-21028593iso-ir-1091028596iso-ir-127",
    "1128605iso_8859-150600949korean",
    "1028598iso-ir-138",
    "1028599iso-ir-148",
    "1000949iso-ir-1490600874tis6200820127us-ascii",
    "",
    "1000936gb_2312-800712000utf32le",
    "1300949csksc560119871965000x-unicode-2-0-utf-7",
    "0901200csunicode0928591iso8859-10701200utf16le1965001x-unicode-2-0-utf-8",
    "0928592iso8859-20520866koi8r1000932x-ms-cp932",
    "0928593iso8859-3",
    "0928594iso8859-4",
    "1150220csiso2022jp0700936gb_23120928595iso8859-50521866koi8u",
    "0928596iso8859-6",
    "0854936gb-180300928597iso8859-70900932shift_jis",
    "1150225csiso2022kr0928598iso8859-8",
    "0928599iso8859-90721866koi8-ru",
    "0910000macintosh",
    "",
    "",
    "",
    "0628598visual",
    "",
    "",
    "",
    "",
    "1128591csisolatin1",
    "1128592csisolatin2",
    "1128593csisolatin31400949ks_c_5601-1987",
    "1128594csisolatin4",
    "0400950big51128599csisolatin51400949ks_c_5601-1989",
    "1565000csunicode11utf7",
    "0501361johab",
    "1100932windows-9321100950windows-950",
    "1128605csisolatin9",
    "",
    "",
    "0520127ascii1100936windows-936",
    "1528597csisolatingreek1100874windows-874",
    "0500850cp850",
    "0500437cp4370500932cp9320500950cp950",
    "0500852cp8520700949ksc56010812001utf-32be1100949windows-949",
    "0520127cp3670500862cp8620500936euccn0528597greek",
    "1150220iso-2022-jp0801201utf-16be",
    "0528591cp8190500855cp8550500936cp9364551932extended_unix_code_packed_format_for_japanese",
    "0500874cp874",
    "0500857cp8570500866cp8661150225iso-2022-kr1101201unicodefffe",
    "0700862dos-862",
    "0500949cp949",
    "1600437cspc8codepage4370700874tis-620",
    "0700874dos-8740420866koi80800932ms_kanji0800950x-x-big5",
    "0551932eucjp0812000utf-32le",
    "0252936hz",
    "1028591iso-8859-10500932ms9320500950ms9500801200utf-16le",
    "0551949euckr1028592iso-8859-20620866koi8-r",
    "1500936csiso58gb2312800828597elot_9280920932euc-jp-ms1028593iso-8859-31238598iso-8859-8-i0"
    "820127iso-ir-6",
    "1028594iso-8859-4",
    "1028595iso-8859-50621866koi8-u0500936ms936",
    "1028596iso-8859-60220127us",
    "1028597iso-8859-71028603iso8859-13",
    "1028598iso-8859-8",
    "1828595csisolatincyrillic1028599iso-8859-91028605iso8859-150500949ms9490465000utf7",
    "0465001utf8",
    "",
    "",
    "0828595cyrillic",
    "",
    "",
    "0720866cskoi8r1528591iso_8859-1:1987",
    "",
    "",
    "",
    "0600936gb2312",
    "",
    "",
    "0500950big-51201250windows-1250",
    "1110000csmacintosh0900949ks_c_56011201251windows-1251",
    "1201252windows-1252",
    "1052936hz-gb-23121201253windows-1253",
    "1201254windows-1254",
    "1201255windows-1255",
    "1201256windows-12561100932windows-31j",
    "0601250cp12501201257windows-1257",
    "0601251cp12511201258windows-1258",
    "0601252cp1252",
    "0601253cp12530601361cp1361",
    "0601254cp1254",
    "0601255cp12550600936euc-cn",
    "0601256cp1256",
    "0601257cp12570600950csbig5",
    "0601258cp1258",
    "0600866cp-866",
    "0738598logical0801250x-cp1250",
    "0801251x-cp1251",
    "0801252x-cp1252",
    "1200932cswindows31j0801253x-cp1253",
    "0700936chinese0720127csascii0651932euc-jp0801254x-cp1254",
    "0501200ucs-20801255x-cp12550800936x-euc-cn",
    "0628597greek80801256x-cp1256",
    "0651949euc-kr0512000ucs-40801257x-cp1257",
    "1001201unicodebig0801258x-cp1258",
    "0628591latin1",
    "1100874iso-8859-110628592latin2",
    "1420127ansi_x3.4-19681420127ansi_x3.4-19861028591iso_8859-10628593latin3",
    "1128603iso-8859-131028592iso_8859-20628594latin40701200unicode",
    "1028593iso_8859-30628599latin51210007mac-cyrillic",
    "1128605iso-8859-151028594iso_8859-40565000utf-70851932x-euc-jp",
    "1028595iso_8859-50628603latin70565001utf-80512000utf321110000x-mac-roman",
    "1028596iso_8859-6",
    "1028597iso_8859-70628605latin90501200utf160851949x-euc-kr",
    "0900936iso-ir-581028598iso_8859-8",
    "1028599iso_8859-9",
    "0400932sjis",
    "0751949cseuckr",
    "",
    "1410007x-mac-cyrillic",
    "",
    "0828596ecma-114",
    "0828591iso88591",
    "0900932shift-jis",
    "",
    "0828597ecma-118",
    "1628596csisolatinarabic0600932x-sjis",
    "",
    "0754936gb18030",
    "",
    "0628596arabic",
    "",
    "",
    "0700950cn-big50920127iso646-us",
    "",
    "0800936csgb23120310000mac",
    "",
    "1000932csshiftjis",
    "0300936gbk",
    "1620127iso_646.irv:1991",
};


namespace {

char16_t LowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

int Digits(const char*& p, int count) {
  int value = 0;
  for (int i = 0; i < count && *p >= '0' && *p <= '9'; ++i, ++p) value = value * 10 + (*p - '0');
  return value;
}

// Calls `visit(name, value)` for each entry of a bucket string until it returns true.
template <typename Visit>
void ForEachEntry(const char* bucket, int lengthDigits, int valueDigits, Visit&& visit) {
  const char* p = bucket;
  while (*p != 0) {
    const int length = Digits(p, lengthDigits);
    const int value = Digits(p, valueDigits);
    const std::string_view name(p, static_cast<size_t>(length));
    p += length;
    if (visit(name, value)) return;
  }
}

bool SameName(std::string_view entry, const std::u16string& lowered) {
  if (entry.size() != lowered.size()) return false;
  for (size_t i = 0; i < entry.size(); ++i) {
    if (static_cast<unsigned char>(entry[i]) != lowered[i]) return false;
  }
  return true;
}

}  // namespace

unsigned BucketOf(std::u16string_view loweredName, unsigned bucketCount) {
  uint64_t sum = 0;
  for (char16_t c : loweredName) sum += c;
  return static_cast<unsigned>(sum % bucketCount);
}

int CharsetCodePage(std::u16string_view name) {
  if (name.empty()) return kSystemCodePage;
  if (name.starts_with(u"UTF-32")) return kUtf32CodePage;
  if (name.size() >= kMaxCharsetNameLength) return kUnknownCodePage;
  std::u16string lowered(name);
  for (char16_t& c : lowered) c = LowerAscii(c);
  int codePage = kUnknownCodePage;
  ForEachEntry(kCharsetBuckets[BucketOf(lowered, kCharsetBucketCount)], 2, 5,
               [&](std::string_view entry, int value) {
                 if (!SameName(entry, lowered)) return false;
                 codePage = value;
                 return true;
               });
  return codePage;
}

std::vector<std::string> IconvNamesOfCodePage(int codePage) {
  switch (codePage) {
    case 65001: return {"UTF-8"};
    case 65000: return {"UTF-7"};
    case 1200: return {"UTF-16LE"};
    case 1201: return {"UTF-16BE"};
    case 12000: return {"UTF-32LE"};
    case 12001: return {"UTF-32BE"};
    case 936: return {"GBK", "CP936", "GB18030"};
    case 54936: return {"GB18030"};
    case 52936: return {"HZ-GB-2312", "HZ"};
    case 20936: return {"GB2312", "EUC-CN"};
    case 950: return {"BIG5", "CP950", "BIG5-HKSCS"};
    case 932: return {"CP932", "SHIFT_JIS", "SJIS"};
    case 51932:
    case 20932: return {"EUC-JP"};
    case 50220:
    case 50221:
    case 50222: return {"ISO-2022-JP"};
    case 949: return {"CP949", "UHC", "EUC-KR"};
    case 51949: return {"EUC-KR"};
    case 50225: return {"ISO-2022-KR"};
    case 1361: return {"JOHAB", "CP1361"};
    case 874: return {"CP874", "WINDOWS-874", "TIS-620"};
    case 20127: return {"ASCII"};
    case 20866: return {"KOI8-R"};
    case 21866: return {"KOI8-U"};
    case 10000: return {"MACINTOSH"};
    case 10007: return {"MAC-CYRILLIC", "MACCYRILLIC"};
    case 38598: return {"ISO-8859-8"};
    case 28603: return {"ISO-8859-13"};
    case 28605: return {"ISO-8859-15"};
    default: break;
  }
  if (codePage >= 1250 && codePage <= 1258) return {"CP" + std::to_string(codePage)};
  if (codePage >= 28591 && codePage <= 28599) {
    return {"ISO-8859-" + std::to_string(codePage - 28590)};
  }
  // The IBM and DOS code pages keep their numbers.
  if (codePage >= 437 && codePage <= 869) return {"CP" + std::to_string(codePage)};
  return {};
}

uint32_t EntityCodePoint(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxEntityNameLength) return 0;
  std::u16string lowered(name);
  for (char16_t& c : lowered) c = LowerAscii(c);
  // Names that differ only in case (Auml/auml, rArr/rarr, ...) stand capitalised spelling
  // first; the all-lower-case spelling as written picks the second, as HTML distinguishes them.
  const bool writtenLower = lowered == name;
  uint32_t first = 0;
  uint32_t found = 0;
  ForEachEntry(kEntityBuckets[BucketOf(lowered, kEntityBucketCount)], 1, 4,
               [&](std::string_view entry, int value) {
                 if (!SameName(entry, lowered)) return false;
                 if (first == 0) {
                   first = static_cast<uint32_t>(value);
                   found = first;
                   return !writtenLower;
                 }
                 found = static_cast<uint32_t>(value);
                 return true;
               });
  return found;
}

}  // namespace xml
