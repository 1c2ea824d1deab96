// The 34 provinces: their index numbers the selection flags and the merge order.
#pragma once

#include <cstddef>

inline constexpr int ZK_PROVINCE_COUNT = 34;

// Province names as stored in packages: GBK, zero-padded 20-byte slots, in table order
// (Beijing, Shanghai, Tianjin, ... Hong Kong, Macao, Taiwan).
inline constexpr char ProvinceTable[ZK_PROVINCE_COUNT][20] = {
    "\xb1\xb1\xbe\xa9",         // Beijing
    "\xc9\xcf\xba\xa3",         // Shanghai
    "\xcc\xec\xbd\xf2",         // Tianjin
    "\xd6\xd8\xc7\xec",         // Chongqing
    "\xba\xda\xc1\xfa\xbd\xad", // Heilongjiang
    "\xbc\xaa\xc1\xd6",         // Jilin
    "\xc1\xc9\xc4\xfe",         // Liaoning
    "\xc4\xda\xc3\xc9\xb9\xc5", // Inner Mongolia
    "\xba\xd3\xb1\xb1",         // Hebei
    "\xc9\xbd\xce\xf7",         // Shanxi
    "\xc9\xc2\xce\xf7",         // Shaanxi
    "\xc9\xbd\xb6\xab",         // Shandong
    "\xd0\xc2\xbd\xae",         // Xinjiang
    "\xce\xf7\xb2\xd8",         // Tibet
    "\xc7\xe0\xba\xa3",         // Qinghai
    "\xb8\xca\xcb\xe0",         // Gansu
    "\xc4\xfe\xcf\xc4",         // Ningxia
    "\xba\xd3\xc4\xcf",         // Henan
    "\xbd\xad\xcb\xd5",         // Jiangsu
    "\xba\xfe\xb1\xb1",         // Hubei
    "\xd5\xe3\xbd\xad",         // Zhejiang
    "\xb0\xb2\xbb\xd5",         // Anhui
    "\xb8\xa3\xbd\xa8",         // Fujian
    "\xbd\xad\xce\xf7",         // Jiangxi
    "\xba\xfe\xc4\xcf",         // Hunan
    "\xb9\xf3\xd6\xdd",         // Guizhou
    "\xcb\xc4\xb4\xa8",         // Sichuan
    "\xb9\xe3\xb6\xab",         // Guangdong
    "\xd4\xc6\xc4\xcf",         // Yunnan
    "\xb9\xe3\xce\xf7",         // Guangxi
    "\xba\xa3\xc4\xcf",         // Hainan
    "\xcf\xe3\xb8\xdb",         // Hong Kong
    "\xb0\xc4\xc3\xc5",         // Macao
    "\xcc\xa8\xcd\xe5",         // Taiwan
};
