#include "fw/Object.h"

#include <gtest/gtest.h>

namespace {

class Shape : public CObject {
    DECLARE_SERIAL(Shape)
public:
    int sides = 3;
};
IMPLEMENT_SERIAL(Shape, CObject, 2)

TEST(ObjectTest, RegisteredClassesAreCreatedByName) {
    const CRuntimeClass* record = CRuntimeClass::FromName("Shape");
    ASSERT_EQ(record, RUNTIME_CLASS(Shape));
    EXPECT_EQ(record->m_wSchema, 2u);
    EXPECT_EQ(record->m_nObjectSize, static_cast<int>(sizeof(Shape)));
    CObject* made = record->CreateObject();
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->GetRuntimeClass(), record);
    EXPECT_TRUE(made->IsKindOf(RUNTIME_CLASS(CObject)));
    EXPECT_EQ(static_cast<Shape*>(made)->sides, 3);
    delete made;
    EXPECT_EQ(CRuntimeClass::FromName("Circle"), nullptr);
    EXPECT_EQ(RUNTIME_CLASS(CObject)->CreateObject(), nullptr) << "the root has no factory";
}

} // namespace
