// Engine errors: every code renders its exact text with the names in their specified order,
// unknown codes fall back to the table text, and RaiseEngineError carries its own error.
#include "engine/base/engine_error.h"

#include <gtest/gtest.h>

#include <string>

namespace tovenmarsh::engine {
namespace {

struct Rendered {
  uint16_t Code;
  const char* Text;
};

// Each code's text with table TBL, field FLD, index IDX and extra text XTRA.
constexpr Rendered kRendered[] = {
      {8705, "Beginning of file encountered in table 'TBL'"},
      {8706, "End of file encountered in table 'TBL'"},
      {8708, "Record has been changed or deleted by another user, session, or table cursor in table 'TBL'"},
      {8709, "No current record in table 'TBL'"},
      {8710, "Record not found in table 'TBL'"},
      {8711, "End of blob data in table 'TBL' reached prematurely"},
      {8961, "Header information corrupt in table 'TBL'"},
      {8962, "Data record buffers corrupt in table 'TBL'"},
      {8963, "BLOB block buffers corrupt in table 'TBL'"},
      {8965, "Index page buffers corrupt in table 'TBL'"},
      {9217, "Error reading from table 'TBL'"},
      {9218, "Error writing to table 'TBL'"},
      {9220, "Cannot delete table 'TBL'"},
      {9221, "Error accessing header information for table 'TBL'"},
      {9477, "Maximum record size exceeded in table 'TBL'"},
      {9479, "The table 'TBL' is full and cannot contain any more data"},
      {9482, "Too many filters defined for table 'TBL'"},
      {9487, "Maximum or minimum limits on number of indexes or fields in an index exceeded in table 'TBL'"},
      {9492, "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in table 'TBL'"},
      {9494, "Too many blobs opened in table 'TBL'"},
      {9498, "Too many blob fields or invalid blob block size specified for table 'TBL'"},
      {9729, "Duplicate key found in index 'IDX' of table 'TBL'"},
      {9730, "The value for the field 'FLD' in table 'TBL' is below the minimum allowable value"},
      {9731, "The value for the field 'FLD' in table 'TBL' is above the maximum allowable value"},
      {9732, "A value must be provided for the field 'FLD' in table 'TBL'"},
      {9985, "Invalid field number or name 'FLD' specified for table 'TBL'"},
      {9993, "A primary index is already defined for table 'TBL' and cannot be added again"},
      {9998, "Invalid blob offset into table 'TBL' specified"},
      {10000, "Invalid field definition specified for the field 'FLD' in table 'TBL'"},
      {10006, "Invalid default, min or max validity check, or expression specified for 'FLD' in table 'TBL'"},
      {10010, "The secondary index name is missing or not specified for table 'TBL'"},
      {10015, "Password provided for table 'TBL' is invalid"},
      {10022, "Invalid secondary index name 'IDX' specified for table 'TBL'"},
      {10023, "Invalid field number 'FLD' specified in index 'IDX' for table 'TBL'"},
      {10026, "Invalid key size specified in index 'IDX' for table 'TBL'"},
      {10027, "The secondary index 'IDX' already exists for table 'TBL'"},
      {10029, "Invalid blob length in table 'TBL'"},
      {10030, "Invalid blob handle for table 'TBL' specified"},
      {10031, "table 'TBL' is already in use"},
      {10038, "Invalid or duplicate field name 'FLD' specified for table 'TBL'"},
      {10050, "Invalid filter handle specified for table 'TBL'"},
      {10051, "Filter error for table 'TBL' - XTRA"},
      {10055, "The primary index cannot be removed from table 'TBL'"},
      {10241, "The table 'TBL' is already locked by another user"},
      {10242, "Cannot unlock table or record in table 'TBL'"},
      {10249, "General lock failure with table 'TBL'"},
      {10253, "table 'TBL' must be opened exclusively"},
      {10258, "Record in table 'TBL' is in use by another user"},
      {10498, "Insufficient rights to table 'TBL', a password is required"},
      {10753, "Invalid blob field 'FLD' specified for table 'TBL'"},
      {10758, "Engine not initialized"},
      {11010, "Invalid path or file name for table 'TBL'"},
      {11012, "Too many files open while attempting to open table 'TBL'"},
      {11013, "Access denied to table 'TBL'"},
      {11014, "Invalid file handle for table 'TBL'"},
      {11016, "There is insufficient operating system memory available for the current operation"},
      {11017, "Invalid length for in-memory table 'TBL'"},
      {11023, "Access denied to logical operating system device for table 'TBL'"},
      {11025, "table 'TBL' has been moved"},
      {11047, "An unknown operating system error occurred with table 'TBL'"},
      {11949, "SQL error - XTRA"},
      {12035, "table 'TBL' is not the correct version"},
      {12292, "Invalid field type specified for index 'IDX' in table 'TBL'"},
      {13060, "The table 'TBL' already exists"},
      {15878, "The language driver for table 'TBL' is not available or installed"},
};

TEST(EngineError, EveryCodeRendersItsText) {
  EngineErrorNames names{"TBL", "FLD", "IDX", "XTRA"};
  for (const Rendered& r : kRendered) {
    EXPECT_TRUE(IsKnownEngineErrorCode(r.Code)) << r.Code;
    EXPECT_EQ(EngineErrorText(r.Code, names), r.Text) << r.Code;
  }
  EXPECT_EQ(std::size(kRendered), 65u);
}

TEST(EngineError, UnknownCodeNamesTheTable) {
  EXPECT_FALSE(IsKnownEngineErrorCode(1));
  EXPECT_EQ(EngineErrorText(1, {"orders.DAT", "f", "i", "x"}),
            "Unknown error occurred with table 'orders.DAT'");
}

TEST(EngineError, RaiseRecordsAndThrows) {
  try {
    RaiseEngineError(kErrInvalidPath, "C:\\db\\x.IDX");
    FAIL() << "no exception";
  } catch (const EFenEngineError& e) {
    EXPECT_EQ(e.Code(), 11010);
    EXPECT_EQ(e.Text(), "Invalid path or file name for table 'C:\\db\\x.IDX'");
    EXPECT_EQ(e.Message(), "Fen Engine Error # 11010 Invalid path or file name for table 'C:\\db\\x.IDX'");
    EXPECT_STREQ(e.ClassName(), "EFenEngineError");
  }
  EXPECT_EQ(LastEngineErrorCode(), 11010);
  EXPECT_EQ(EngineErrorMessage(11010), "Invalid path or file name for table 'C:\\db\\x.IDX'");
  EXPECT_EQ(GetEngineErrorInfo(1), "C:\\db\\x.IDX");

  // Argument order of the raiser: table, field, extra text, index.
  EXPECT_THROW(RaiseEngineError(kErrInvalidIndexFieldNumber, "t", "f", "", "i"), EFenEngineError);
  EXPECT_EQ(EngineErrorMessage(10023), "Invalid field number 'f' specified in index 'i' for table 't'");
  EXPECT_EQ(GetEngineErrorInfo(0), "f");
  EXPECT_EQ(GetEngineErrorInfo(2), "i");
  EXPECT_EQ(GetEngineErrorInfo(3), "");
  EXPECT_THROW(RaiseEngineError(kErrDuplicateKey, "t", "", "", "i"), EFenEngineError);
  EXPECT_EQ(EngineErrorMessage(9729), "Duplicate key found in index 'i' of table 't'");
  EXPECT_THROW(RaiseEngineError(kErrSql, "", "", "FROM keyword expected"), EFenEngineError);
  EXPECT_EQ(EngineErrorMessage(kErrSql), "SQL error - FROM keyword expected");

  ClearEngineErrorInfo();
  EXPECT_EQ(LastEngineErrorCode(), 0);
  EXPECT_EQ(GetEngineErrorInfo(1), "");
}

TEST(EngineError, LongNamesAreCut) {
  std::string longName(400, 'n');
  try {
    RaiseEngineError(kErrFilterError, longName, "", longName);
  } catch (const EFenEngineError& e) {
    EXPECT_EQ(e.Names().TableName.size(), 255u);
    EXPECT_EQ(e.Text().size(), 254u);
  }
  EXPECT_EQ(GetEngineErrorInfo(1).size(), 255u);
  EXPECT_EQ(EngineErrorMessage(kErrFilterError).size(), 254u);
}

}  // namespace
}  // namespace tovenmarsh::engine
