// How the tool names itself: the trace header, the data folder, the Reset All banner
// and the About box all take these from here.
#pragma once

inline constexpr char16_t ProductMaker[] = u"Quorvale";
inline constexpr char16_t ProductName[] = u"Tarnwick";
inline constexpr char16_t ProductVersion[] = u"V2.0";
inline constexpr char16_t ProductBuild[] = u"1009";
