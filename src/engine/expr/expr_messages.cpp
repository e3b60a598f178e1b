// The syntax and type error texts of expressions, in one table.
#include "engine/expr/expr_messages.h"

#include <iterator>

namespace tovenmarsh::engine {
namespace {

struct MessageEntry {
  TExpMessage Id;
  const char* Template;
};

using M = TExpMessage;

// The texts are stored exactly as the engine has always reported them (including
// "expectedafter", "concatentation" and the double blanks), since callers match on them.
constexpr MessageEntry kMessages[] = {
    {M::MissingCommentEnd, "Missing ending comment slash and asterisk in @C"},
    {M::MissingSingleQuote, "Missing single quote after '@1' in @C"},
    {M::MissingDoubleQuote, "Missing double quote after '@1' in @C"},
    {M::MissingRightBracket, "Missing right bracket after '@1' in @C"},
    {M::SecondConcatenation,
     "Second concatenation symbol '|' expected after first concatentation symbol, instead "
     "found '@1' in @C"},
    {M::ExtendedNotAllowed,
     "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in @C"},
    {M::BetweenAnd, "Expected AND operator in BETWEEN operator, instead found '@1' in @C"},
    {M::InLeftParen, "Expected left parentheses after IN operator, instead found '@1' in @C"},
    {M::NotInLeftParen, "Expected left parentheses for IN operator, instead found '@1' in @C"},
    {M::InRightParen, "Expected right parentheses after IN operator, instead found '@1' in @C"},
    {M::InEmpty, "You must provide at least one value as an operand of the IN operator  in @C"},
    {M::SubSelectNotAllowed, "Sub-select queries are not allowed in @C"},
    {M::UnknownSymbolFound, "Unknown or unexpected symbol '@1' found in @C"},
    {M::UnknownSymbolIn, "Unknown or unexpected symbol '@1' in @C"},
    {M::AggregatesNotAllowed, "Aggregate functions are not allowed in @C"},
    {M::AggregateLeftParen,
     "Left parentheses expectedafter aggregate function '@1', instead found '@2' in @C"},
    {M::AggregateRightParen,
     "Right parentheses expected after aggregate @1 function argument, instead found '@2' in "
     "@C"},
    {M::LowerLeftParen, "Left parentheses expectedafter LOWER keyword, instead found '@1' in @C"},
    {M::LowerRightParen,
     "Right parentheses expected after LOWER function argument, instead found '@1' in @C"},
    {M::UpperLeftParen, "Left parentheses expectedafter UPPER keyword, instead found '@1' in @C"},
    {M::UpperRightParen,
     "Right parentheses expected after UPPER function argument, instead found '@1' in @C"},
    {M::SubstringLeftParen,
     "Left parentheses expected after SUBSTRING keyword, instead found '@1' in @C"},
    {M::SubstringFrom,
     "FROM keyword expected after first SUBSTRING function argument, instead found '@1' in @C"},
    {M::SubstringRightParen,
     "Right parentheses expected after SUBSTRING function arguments, instead found '@1' in @C"},
    {M::ReplaceLeftParen,
     "Left parentheses expected after REPLACE keyword, instead found '@1' in @C"},
    {M::ReplaceWith,
     "WITH keyword expected after first REPLACE function argument, instead found '@1' in @C"},
    {M::ReplaceIn,
     "IN keyword expected after second REPLACE function argument, instead found '@1' in @C"},
    {M::ReplaceRightParen,
     "Right parentheses expected after REPLACE function arguments, instead found '@1' in @C"},
    {M::PosLeftParen, "Left parentheses expected after POS keyword, instead found '@1' in @C"},
    {M::PosIn, "IN keyword expected after first POS function argument, instead found '@1' in @C"},
    {M::PosRightParen,
     "Right parentheses expected after POS function arguments, instead found '@1' in @C"},
    {M::OccursLeftParen,
     "Left parentheses expected after OCCURS keyword, instead found '@1' in @C"},
    {M::OccursIn,
     "IN keyword expected after first OCCURS function argument, instead found '@1' in @C"},
    {M::OccursRightParen,
     "Right parentheses expected after OCCURS function arguments, instead found '@1' in @C"},
    {M::CastLeftParen, "Left parentheses expected after CAST keyword, instead found '@1' in @C"},
    {M::CastAs,
     "AS keyword expected after first CAST function argument, instead found '@1' in @C"},
    {M::CastRightParen,
     "Right parentheses expected after CAST function arguments, instead found '@1' in @C"},
    {M::TrimLeftParen, "Left parentheses expected after TRIM keyword, instead found '@1' in @C"},
    {M::TrimKind,
     "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '@1' in @C"},
    {M::TrimFrom,
     "FROM keyword expected after second TRIM function argument, instead found '@1' in @C"},
    {M::TrimRightParen,
     "Right parentheses expected after TRIM function arguments, instead found '@1' in @C"},
    {M::ExtractLeftParen,
     "Left parentheses expected after EXTRACT keyword, instead found '@1' in @C"},
    {M::ExtractPart,
     "YEAR, MONTH, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT "
     "keyword, instead found '@1' in @C"},
    {M::ExtractFrom,
     "FROM keyword expected after second EXTRACT function argument, instead found '@1' in @C"},
    {M::ExtractRightParen,
     "Right parentheses expected after EXTRACT function arguments, instead found '@1' in @C"},
    {M::AbsLeftParen, "Left parentheses expectedafter ABS keyword, instead found '@1' in @C"},
    {M::AbsRightParen,
     "Right parentheses expected after ABS function argument, instead found '@1' in @C"},
    {M::RoundLeftParen, "Left parentheses expectedafter ROUND keyword, instead found '@1' in @C"},
    {M::RoundRightParen,
     "Right parentheses expected after ROUND function arguments, instead found '@1' in @C"},
    {M::IfLeftParen, "Left parentheses expectedafter IF keyword, instead found '@1' in @C"},
    {M::IfThen, "THEN keyword expected after first IF function argument, instead found '@1' in @C"},
    {M::IfElse,
     "ELSE keyword expected after second IF function argument, instead found '@1' in @C"},
    {M::IfRightParen,
     "Right parentheses expected after IF function arguments, instead found '@1' in @C"},
    {M::UnknownFunction, "Unknown or unexpected function '@1' found in @C"},
    {M::CorrelationSymbol,
     "Symbol or string expression expected after table correlation name separator '.', "
     "instead found '@1' in @C"},
    {M::AllColumnsNotAllowed, "* (all columns) symbol is not allowed in @C"},
    {M::CharacterRange, "Character constants (#) must be within the range of 0 to 255 in @C"},
    {M::CharacterInternal, "Internal character constant parse error in @C"},
    {M::RightParen, "Right parentheses expected, instead found '@1' in @C"},
    {M::ParametersNotAllowed, "Parameters are not allowed in @C"},
    {M::NestedTooDeeply, "Expression nested too deeply in @C"},
    {M::IntegerInvalid, "'@1' is not a valid integer value in @C"},
    {M::FloatInvalid, "'@1' is not a valid floating point value in @C"},
    {M::DataTypeExpected, "SQL data type keyword expected, instead found '@1' in @C"},
    {M::DecimalComma, "Comma expected after first DECIMAL argument, instead found '@1' in @C"},
    {M::DecimalRightParen,
     "Right parentheses expected after DECIMAL data type arguments, instead found '@1' in @C"},
    {M::NumericComma, "Comma expected after first NUMERIC argument, instead found '@1' in @C"},
    {M::NumericRightParen,
     "Right parentheses expected after NUMERIC data type arguments, instead found '@1' in @C"},
    {M::FloatComma, "Comma expected after first FLOAT argument, instead found '@1' in @C"},
    {M::FloatRightParen,
     "Right parentheses expected after FLOAT data type arguments, instead found '@1' in @C"},
    {M::CharLeftParen,
     "Left parentheses expected after CHARACTER or CHAR data type, instead found '@1' in @C"},
    {M::CharRightParen,
     "Right parentheses expected after CHARACTER or CHAR data type arguments, instead found "
     "'@1' in @C"},
    {M::VarcharLeftParen,
     "Left parentheses expected after VARCHAR data type, instead found '@1' in @C"},
    {M::VarcharRightParen,
     "Right parentheses expected after VARCHAR data type arguments, instead found '@1' in @C"},
    {M::BytesRightParen,
     "Right parentheses expected after CHARACTER data type arguments, instead found '@1' in @C"},
    {M::BlobLeftParen, "Left parentheses expected after BLOB data type, instead found '@1' in @C"},
    {M::BlobComma, "Comma expected after first BLOB argument, instead found '@1' in @C"},
    {M::BlobRightParen,
     "Right parentheses expected after BLOB data type arguments, instead found '@1' in @C"},
    {M::DateTimeExpected,
     "Date, time, or timestamp expression expected, instead found '@1' in @C"},
    {M::TypeMismatch, "Type mismatch between @1 '@2' and @3 '@4' in @C"},
    {M::UnaryTypeMismatch, "Type mismatch between '@1' operator and '@2' in @C"},
    {M::InvalidColumn,
     "Invalid column name '@1' or table correlation name '@2' specified in @C"},
    {M::SubSelectColumns, "More than 1 column for sub-select  specified in @C"},
    {M::AggregateArgument,
     "@1 aggregate function must contain a numeric, date, time, or timestamp expression in @C"},
    {M::CaseFunctionArgument, "Type mismatch between @1 function and function argument in @C"},
    {M::SubstringArgument,
     "Expression argument of SUBSTRING function must be a string or memo in @C"},
    {M::SubstringFromConstant,
     "FROM argument of SUBSTRING function must be an integer constant in @C"},
    {M::SubstringFromPositive,
     "FROM argument of SUBSTRING function must be an integer constant greater than 0 in @C"},
    {M::SubstringForConstant,
     "FOR argument of SUBSTRING function must be an integer constant in @C"},
    {M::SubstringForPositive,
     "FOR argument of SUBSTRING function must be an integer constant greater than 0 in @C"},
    {M::ReplaceInArgument, "IN argument of REPLACE function must be a string or memo in @C"},
    {M::ReplaceSearchArgument,
     "Search argument of REPLACE function must be a string constant in @C"},
    {M::ReplaceWithArgument,
     "WITH argument of REPLACE function must be a string constant in @C"},
    {M::PosInArgument, "Type mismatch between POS function and IN argument in @C"},
    {M::OccursInArgument, "Type mismatch between OCCURS function and IN argument in @C"},
    {M::PosSearchArgument,
     "Search string argument of POS function must be a string constant in @C"},
    {M::OccursSearchArgument,
     "Search string argument of OCCURS function must be a string constant in @C"},
    {M::TrimFromArgument, "FROM argument of TRIM function must be a string or memo in @C"},
    {M::TrimCharacterArgument,
     "Trim character argument of TRIM function must be a single character constant in @C"},
    {M::CastMismatch, "Type mismatch between @1 '@2' and AS argument in @C"},
    {M::ExtractArgument,
     "FROM argument of EXTRACT function must be a date, time, or timestamp in @C"},
    {M::IfCondition, "First expression argument of IF function must be a boolean type in @C"},
    {M::IfBranches, "Type mismatch between second and third IF expression arguments in @C"},
    {M::AbsArgument,
     "Expression argument of ABS function must be an integer or floating-point type in @C"},
    {M::RoundArgument, "Expression argument of ROUND function must be a floating-point type in @C"},
    {M::RoundPlacesConstant,
     "Decimal places argument of ROUND function must be an integer constant in @C"},
    {M::RoundPlacesRange,
     "Decimal places argument of ROUND function must be an integer constant between 0 and 32 "
     "in @C"},
    {M::PredicateMismatch, "Type mismatch between @1 operator and expression '@2' in @C"},
    {M::ConstantExpected, "Constant expression expected after @1 operator, instead found '@2' in @C"},
    {M::LengthInteger, "Length argument must be an integer in @C"},
    {M::LengthRange,
     "Length argument must be an integer greater than 0 and less than or equal to 250 in @C"},
    {M::ScaleInteger, "Scale argument must be an integer in @C"},
    {M::ScaleBcd,
     "Scale argument must be an integer less than or equal to 4 for the BCD data type in @C"},
    {M::BlobFirstArgument, "First BLOB type argument must be an integer with the value of 1 in @C"},
    {M::BlobTypeArgument, "BLOB type argument must be an integer in @C"},
    {M::BlobTypeRange,
     "BLOB type argument must be an integer greater than 0 and less than or equal to 5 in @C"},
    {M::FilterNotBoolean, "filter expression must be a boolean expression"},
};

}  // namespace

std::string_view ExpressionMessageTemplate(TExpMessage id) {
  for (const MessageEntry& entry : kMessages) {
    if (entry.Id == id) return entry.Template;
  }
  return "Expression error in @C";
}

std::string ExpressionMessage(TExpMessage id, std::string_view context,
                              std::initializer_list<std::string_view> args) {
  std::string_view text = ExpressionMessageTemplate(id);
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '@' && i + 1 < text.size()) {
      char tag = text[i + 1];
      if (tag == 'C') {
        out += context;
        ++i;
        continue;
      }
      if (tag >= '1' && tag <= '4') {
        size_t index = static_cast<size_t>(tag - '1');
        if (index < args.size()) out += *(args.begin() + static_cast<std::ptrdiff_t>(index));
        ++i;
        continue;
      }
    }
    out += text[i];
  }
  if (out.size() > 255) out.resize(255);
  return out;
}

}  // namespace tovenmarsh::engine
