// The attribute lists shared by the schema tables (defined in schema_attribute_lists.cpp).
#pragma once

#include "cfdi/schema_tables.h"

namespace kvn::schema {

extern const AttributeRow A01[];
extern const AttributeRow A02[];
extern const AttributeRow A03[];
extern const AttributeRow A04[];
extern const AttributeRow A05[];
extern const AttributeRow A06[];
extern const AttributeRow A07[];
extern const AttributeRow A08[];
extern const AttributeRow A09[];
extern const AttributeRow A10[];
extern const AttributeRow A11[];
extern const AttributeRow A12[];
extern const AttributeRow A13[];
extern const AttributeRow A14[];
extern const AttributeRow A15[];
extern const AttributeRow A16[];
extern const AttributeRow A17[];
extern const AttributeRow A18[];
extern const AttributeRow A19[];
extern const AttributeRow A20[];
extern const AttributeRow A21[];
extern const AttributeRow A22[];
extern const AttributeRow A23[];
extern const AttributeRow A24[];
extern const AttributeRow A25[];
extern const AttributeRow A26[];
extern const AttributeRow A27[];
extern const AttributeRow A28[];
extern const AttributeRow A29[];
extern const AttributeRow A30[];
extern const AttributeRow A31[];
extern const AttributeRow A32[];
extern const AttributeRow A33[];
extern const AttributeRow A34[];
extern const AttributeRow A35[];
extern const AttributeRow A36[];
extern const AttributeRow A37[];
extern const AttributeRow A38[];
extern const AttributeRow A39[];
extern const AttributeRow A40[];
extern const AttributeRow A41[];
extern const AttributeRow A42[];
extern const AttributeRow A43[];
extern const AttributeRow A44[];
extern const AttributeRow A45[];
extern const AttributeRow A46[];
extern const AttributeRow A47[];
extern const AttributeRow A48[];
extern const AttributeRow A49[];
extern const AttributeRow A50[];
extern const AttributeRow A51[];
extern const AttributeRow A52[];
extern const AttributeRow A53[];

}  // namespace kvn::schema
