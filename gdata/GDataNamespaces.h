#pragma once
// The namespace URIs of the vocabularies the GData model reads and writes, by their usual prefix.
// They are the published values of the W3C, OpenSearch, Media RSS, GeoRSS and GML documents and
// of the provider.

namespace quorvane {

inline constexpr const char* kGDataNamespaceAtomURI = "http://www.w3.org/2005/Atom";
inline constexpr const char* kGDataNamespaceAtomPubURI = "http://www.w3.org/2007/app";
inline constexpr const char* kGDataNamespaceAtomPubPrefix = "app";
inline constexpr const char* kGDataNamespaceOpenSearchURI = "http://a9.com/-/spec/opensearch/1.1/";
inline constexpr const char* kGDataNamespaceOpenSearchPrefix = "openSearch";
inline constexpr const char* kGDataNamespaceXHTMLURI = "http://www.w3.org/1999/xhtml";
inline constexpr const char* kGDataNamespaceXHTMLPrefix = "xh";
inline constexpr const char* kGDataNamespaceGDataURI = "http://schemas.google.com/g/2005";
inline constexpr const char* kGDataNamespaceBatchURI = "http://schemas.google.com/gdata/batch";
inline constexpr const char* kGDataNamespaceBatchPrefix = "batch";
inline constexpr const char* kGDataNamespaceContactURI = "http://schemas.google.com/contact/2008";
inline constexpr const char* kGDataNamespaceContactPrefix = "gContact";
inline constexpr const char* kGDataNamespaceACLURI = "http://schemas.google.com/acl/2007";
inline constexpr const char* kGDataNamespaceACLPrefix = "gAcl";
inline constexpr const char* kGDataNamespaceMediaURI = "http://search.yahoo.com/mrss/";
inline constexpr const char* kGDataNamespaceMediaPrefix = "media";
inline constexpr const char* kGDataNamespaceGeoRSSURI = "http://www.georss.org/georss";
inline constexpr const char* kGDataNamespaceGeoRSSPrefix = "georss";
inline constexpr const char* kGDataNamespaceGMLURI = "http://www.opengis.net/gml";
inline constexpr const char* kGDataNamespaceGMLPrefix = "gml";
inline constexpr const char* kGDataNamespaceGeoW3CURI = "http://www.w3.org/2003/01/geo/wgs84_pos#";
inline constexpr const char* kGDataNamespaceGeoW3CPrefix = "geo";

}  // namespace quorvane
