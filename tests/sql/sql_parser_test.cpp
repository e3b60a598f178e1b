// The SQL parsers: SQL texts mapped to the exact error message they raise or to a dump of the
// statement they build (tables, joins, columns, clause trees, values, definitions).
#include <gtest/gtest.h>

#include <string>

#include "sql/support/statement_dump.h"

namespace {

using tovenmarsh::sql::testing::PrepareText;

struct TCase {
  const char* Text;
  const char* Expected;
};

void RunCases(const TCase* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(PrepareText(cases[i].Text), cases[i].Expected) << "SQL: " << cases[i].Text;
  }
}

const TCase kSelectCases[] = {
    {"SELECT * FROM t", "Q0{SELECT cols[*] from[t t#1]}"},
    {"select a, b AS bb, c cc, t.d FROM t",
     "Q0{SELECT cols[a, b AS bb, c AS cc, t.d corr=t] from[t t#1]}"},
    {"SELECT ALL DISTINCT a x.y FROM t", "Q0{SELECT DISTINCT cols[a AS y] from[t t#1]}"},
    {"SELECT SUM(x), COUNT(*) AS n, AVG(x+1), MAX(t.y) FROM t",
     "Q0{SELECT cols[(SUM x) agg1, (COUNT *) AS n agg5 all, (AVG (+ x 1)) agg4 calc'x+1', (MAX "
     "t.y) agg3 corr=t] from[t t#1]}"},
    {"SELECT x+1, UPPER(n) FROM t",
     "Q0{SELECT cols[(+ x 1) calc'x+1', (UPPER n) calc'UPPER(n)'] from[t t#1]}"},
    {"SELECT a INTO MEMORY 'c:\\r\\res' FROM t",
     "Q0{SELECT cols[a] into[MEMORY c:\\r\\res] from[t t#1]}"},
    {"SELECT a INTO res.dat FROM t", "Q0{SELECT cols[a] into[res.dat] from[t t#1]}"},
    {"SELECT * FROM 'c:\\data\\orders' o, orders.dat",
     "Q0{SELECT cols[*] from[c:\\data\\|orders o#1, orders.dat orders#2] multi}"},
    {"SELECT * FROM a JOIN b ON a.k = b.k LEFT OUTER JOIN c ON c.k = b.k AND c.x > 1",
     "Q0{SELECT cols[*] from[a a#1, b b#2, c c#3] multi where(AND (= a.k b.k) (AND (= c.k b.k) "
     "(> c.x 1))) joins=12}"},
    {"SELECT * FROM a RIGHT JOIN b bb ON a.k = bb.k INNER JOIN c ON c.k = a.k",
     "Q0{SELECT cols[*] from[b bb#2, a a#1, c c#3] multi where(AND (= a.k bb.k) (= c.k a.k)) "
     "joins=31}"},
    {"SELECT * FROM t NOJOINOPTIMIZE", "Q0{SELECT cols[*] from[t NOJOINOPTIMIZE#1]}"},
    {"SELECT * FROM t WHERE a = 1 NOJOINOPTIMIZE",
     "Q0{SELECT cols[*] from[t t#1] where(= a 1) nojoinoptimize}"},
    {"SELECT a, COUNT(*) FROM t WHERE b LIKE 'x%' AND c IN (1, 2) GROUP BY a, t.b, 2 HAVING "
     "SUM(x) > 1 ORDER BY 1 DESC, a ASC, t.c DESCENDING NOCASE WITH LOCKS",
     "Q0{SELECT cols[a, (COUNT *) agg5 all] from[t t#1] where(AND (LIKE b 'x%') (IN c 1 2)) "
     "group[a,t.b,#2] having(> (SUM x) 1) order[#1 desc,a,t.c desc] nocase locks}"},
    {"SELECT * FROM MEMORY m AS mm WHERE mm.a IS NOT NULL;",
     "Q0{SELECT cols[*] from[MEMORY:m mm#1] where(IS NOT NULL mm.a NULL)}"},
    {"SELECT * FROM a WHERE x IN (SELECT y FROM b WHERE z = ?) AND w = ?",
     "Q0{SELECT cols[*] from[a a#1] where(AND (IN x SUBSELECT) (= w ?))} Q1{SELECT cols[y] "
     "from[b b#1] where(= z ?)}"},
    {"SELECT * FROM t ENCRYPTED WITH 'secret'", "Q0{SELECT cols[*] from[t t#1] encrypted'secret'}"},
    {"SELECT * FROM t ENCRYPTED WITH ''", "Q0{SELECT cols[*] from[t t#1] plain''}"},
    {"SELECT * FROM t x LANGUAGE 'german (standard)' SORT 'German Phone Book Order' ENCRYPTED "
     "WITH pw NOJOINOPTIMIZE",
     "Q0{SELECT cols[*] from[t x#1] nojoinoptimize language=1031/1 encrypted'pw'}"},
};

TEST(SqlParser, SelectStatements) { RunCases(kSelectCases, std::size(kSelectCases)); }

const TCase kSelectErrors[] = {
    {"",
     "ERROR 11949: SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, "
     "instead found ''"},
    {"GRANT ALL",
     "ERROR 11949: SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, "
     "instead found 'GRANT'"},
    {"CREATE VIEW v", "ERROR 11949: TABLE or INDEX keyword expected, instead found 'VIEW'"},
    {"ALTER INDEX i", "ERROR 11949: TABLE keyword expected, instead found 'INDEX'"},
    {"DROP VIEW v", "ERROR 11949: TABLE or INDEX keyword expected, instead found 'VIEW'"},
    {"SELECT", "ERROR 11949: Source column expression is empty"},
    {"SELECT , a FROM t", "ERROR 11949: Source column expression is empty"},
    {"SELECT a", "ERROR 11949: FROM keyword expected, instead found ''"},
    {"SELECT a b c FROM t", "ERROR 11949: FROM keyword expected, instead found 'c'"},
    {"SELECT a AS FROM t", "ERROR 11949: FROM keyword expected, instead found 't'"},
    {"SELECT a AS 5 FROM t",
     "ERROR 11949: Symbol or string expected after AS keyword, instead found '5'"},
    {"SELECT a x. FROM t", "ERROR 11949: FROM keyword expected, instead found 't'"},
    {"SELECT a INTO FROM t", "ERROR 11949: FROM keyword expected, instead found 't'"},
    {"SELECT a INTO MEMORY 5 FROM t",
     "ERROR 11949: Result table name expected in INTO MEMORY clause, instead found '5'"},
    {"SELECT a FROM", "ERROR 11949: Table name expected after FROM keyword, instead found ''"},
    {"SELECT a FROM 5", "ERROR 11949: Table name expected after FROM keyword, instead found '5'"},
    {"SELECT a FROM t AS",
     "ERROR 11949: Symbol or string expected after AS keyword, instead found ''"},
    {"SELECT * FROM a FULL OUTER JOIN b ON a.k = b.k",
     "ERROR 11949: End of SELECT statement expected, instead found 'OUTER'"},
    {"SELECT * FROM a x FULL JOIN b ON a.k = b.k",
     "ERROR 11949: Full outer joins are currently not supported in Fen SQL SELECT statements"},
    {"SELECT * FROM a RIGHT OUTER JOIN b ON a.k = b.k FULL OUTER JOIN c ON c.k = b.k",
     "ERROR 11949: Full outer joins are currently not supported in Fen SQL SELECT statements"},
    {"SELECT * FROM a INNER b",
     "ERROR 11949: JOIN keyword expected after INNER keyword, instead found 'b'"},
    {"SELECT * FROM a LEFT OUTER b",
     "ERROR 11949: JOIN keyword expected after LEFT or OUTER keyword, instead found 'b'"},
    {"SELECT * FROM a RIGHT c",
     "ERROR 11949: JOIN keyword expected after RIGHT or OUTER keyword, instead found 'c'"},
    {"SELECT * FROM a JOIN 5",
     "ERROR 11949: Table name expected after JOIN keyword, instead found '5'"},
    {"SELECT * FROM a JOIN b WHERE x = 1",
     "ERROR 11949: ON keyword expected in JOIN clause, instead found 'x'"},
    {"SELECT * FROM a JOIN b ON a.k IN (SELECT k FROM c)",
     "ERROR 11949: Sub-select queries are not allowed in WHERE or JOIN clause"},
    {"SELECT * FROM a, a",
     "ERROR 11949: Duplicate table correlation name 'a' found in source tables"},
    {"SELECT * FROM a, 'x\\A.dat'",
     "ERROR 11949: Duplicate table correlation name 'A' found in source tables"},
    {"SELECT * FROM a x, b X",
     "ERROR 11949: Duplicate table correlation name 'X' found in source tables"},
    {"SELECT * FROM t GROUP a",
     "ERROR 11949: BY keyword expected after GROUP keyword, instead found 'a'"},
    {"SELECT * FROM t GROUP BY 'x' ,",
     "ERROR 11949: Column name or column number expected in GROUP BY clause, instead found ''"},
    {"SELECT * FROM t GROUP BY 1.5",
     "ERROR 11949: Column name or column number expected in GROUP BY clause, instead found '1.5'"},
    {"SELECT * FROM t GROUP BY t.5",
     "ERROR 11949: End of SELECT statement expected, instead found '.5'"},
    {"SELECT * FROM t ORDER a",
     "ERROR 11949: BY keyword expected after ORDER keyword, instead found 'a'"},
    {"SELECT * FROM t ORDER BY ?",
     "ERROR 11949: Column name or column number expected in ORDER BY clause, instead found '?'"},
    {"SELECT * FROM t WITH NOLOCK",
     "ERROR 11949: LOCKS keyword expected after WITH keyword, instead found 'NOLOCK'"},
    {"SELECT * FROM t LANGUAGE 'German (Standard)'",
     "ERROR 11949: End of SELECT statement expected, instead found 'German (Standard)'"},
    {"SELECT * FROM t x LANGUAGE 'Klingon'",
     "ERROR 11949: Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
    {"SELECT * FROM t x LANGUAGE 'German (Standard)' SORT 'Pig Latin'",
     "ERROR 11949: Invalid sort constant 'Pig Latin' specified after SORT keyword"},
    {"SELECT * FROM t ENCRYPTED 'x'",
     "ERROR 11949: WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
    {"SELECT * FROM t WHERE a = 1 b",
     "ERROR 11949: End of SELECT statement expected, instead found 'b'"},
    {"SELECT * FROM t; x", "Q0{SELECT cols[*] from[t t#1]}"},
    {"SELECT SUM(MAX(a)) FROM t", "ERROR 11949: Aggregate functions cannot be nested"},
    {"SELECT UPPER(SUM(x)) FROM t",
     "ERROR 11949: Aggregate functions cannot be used within expressions"},
    {"SELECT SUM(UPPER(MAX(x))) FROM t", "ERROR 11949: Aggregate functions cannot be nested"},
    {"SELECT IF(x > 1 THEN COUNT(*) ELSE 0) FROM t",
     "ERROR 11949: Aggregate functions cannot be used within expressions"},
    {"SELECT SUM(a) + 1 FROM t",
     "ERROR 11949: Aggregate functions cannot be used within expressions"},
    {"SELECT a FROM t WHERE a = SUM(b)",
     "ERROR 11949: Aggregate functions are not allowed in WHERE or JOIN clause"},
    {"SELECT ? FROM t", "ERROR 11949: Parameters are not allowed in source column expression"},
    {"SELECT a FROM t HAVING a LIKE 'x'",
     "ERROR 11949: Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed "
     "in HAVING clause"},
    {"SELECT a FROM t WHERE a IN (SELECT b FROM c WHERE d = 1",
     "ERROR 11949: Expected right parentheses after IN operator, instead found '' in WHERE or "
     "JOIN clause"},
    {"SELECT a FROM t WHERE a IN (SELECT b FROM c GARBAGE)",
     "Q0{SELECT cols[a] from[t t#1] where(IN a SUBSELECT)} Q1{SELECT cols[b] from[c GARBAGE#1]}"},
    {"SELECT a FROM t WHERE a IN (SELECT b, c FROM d ORDER BY 1) AND x = ?",
     "Q0{SELECT cols[a] from[t t#1] where(AND (IN a SUBSELECT) (= x ?))} Q1{SELECT cols[b, c] "
     "from[d d#1] order[#1]}"},
    {"SELECT 'abc FROM t", "ERROR 11949: Missing single quote after ''abc FROM t' in "},
};

TEST(SqlParser, SelectErrors) { RunCases(kSelectErrors, std::size(kSelectErrors)); }

const TCase kChangeCases[] = {
    {"INSERT INTO t VALUES (1, 'a', ?)",
     "Q0{INSERT from[t t#1] targets[*] values[1'1', 'a'''a'', ?'?']}"},
    {"INSERT INTO MEMORY t x (a, x.b, \"c d\") VALUES (1 + 2, UPPER('q'), NULL) NOAUTOINC",
     "Q0{INSERT from[MEMORY:t x#1] targets[a, x.b, c d] values[(+ 1 2)'1 + 2', (UPPER "
     "'q')'UPPER('q')', NULL'NULL'] noautoinc}"},
    {"INSERT INTO t SELECT a, b FROM s WHERE c = ? COMMIT INTERVAL 10",
     "Q0{INSERT from[t t#1] targets[*] insert-select commit=10} Q1{SELECT cols[a, b] from[s "
     "s#1] where(= c ?)}"},
    {"INSERT INTO t (a) VALUES (?) COMMIT INTERVAL -0",
     "ERROR 11949: COMMIT INTERVAL specified (0) is invalid, it must be greater than 0"},
    {"UPDATE t SET a = a + 1, b = ? WHERE c IN (SELECT c FROM d WHERE e = ?) AND f = ?",
     "Q0{UPDATE from[t t#1] targets[a, b] values[(+ a 1)'a + 1', ?'?'] where(AND (IN c "
     "SUBSELECT) (= f ?))} Q1{SELECT cols[c] from[d d#1] where(= e ?)}"},
    {"UPDATE MEMORY t AS u SET u.a = 'x' COMMIT INTERVAL 5;",
     "Q0{UPDATE from[MEMORY:t u#1] targets[u.a] values['x'''x''] commit=5}"},
    {"UPDATE t u SET \"a\" = 1 NOAUTOINC",
     "Q0{UPDATE from[t u#1] targets[a] values[1'1'] noautoinc}"},
    {"DELETE FROM t", "Q0{DELETE from[t t#1]}"},
    {"DELETE FROM 'c:\\d\\t.dat' x WHERE x.a BETWEEN ? AND 5 COMMIT INTERVAL 100",
     "Q0{DELETE from[c:\\d\\|t.dat x#1] where(BETWEEN x.a ? 5) commit=100}"},
};

TEST(SqlParser, DataChangeStatements) { RunCases(kChangeCases, std::size(kChangeCases)); }

const TCase kChangeErrors[] = {
    {"INSERT t VALUES (1)", "ERROR 11949: INTO keyword expected, instead found 't'"},
    {"INSERT INTO VALUES (1)", "ERROR 11949: VALUES or SELECT  keyword expected, instead found ''"},
    {"INSERT INTO 5 VALUES (1)",
     "ERROR 11949: Table name expected after INTO clause, instead found '5'"},
    {"INSERT INTO MEMORY (a) VALUES (1)",
     "ERROR 11949: Table name expected after INTO keyword, instead found '('"},
    {"INSERT INTO t (a VALUES (1)",
     "ERROR 11949: Right parentheses expected after list of table columns, instead found 'VALUES'"},
    {"INSERT INTO t (a, ) VALUES (1)", "ERROR 11949: Table column name is empty"},
    {"INSERT INTO t (*) VALUES (1)",
     "ERROR 11949: * (all columns) symbol is not allowed in table column"},
    {"INSERT INTO t (\"\") VALUES (1)", "ERROR 11949: Table column name is empty"},
    {"INSERT INTO t VALUES 1",
     "ERROR 11949: Left parentheses expected after VALUES keyword, instead found '1'"},
    {"INSERT INTO t VALUES (1",
     "ERROR 11949: Right parentheses expected after list of values, instead found ''"},
    {"INSERT INTO t VALUES (1,)", "ERROR 11949: Value expression is empty"},
    {"INSERT INTO t VALUES ()", "ERROR 11949: Value expression is empty"},
    {"INSERT INTO t VALUES (SUM(a))",
     "ERROR 11949: Aggregate functions are not allowed in value expression"},
    {"INSERT INTO t VALUES (a IN (SELECT b FROM c))",
     "ERROR 11949: Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed "
     "in value expression"},
    {"INSERT INTO t DEFAULT VALUES",
     "ERROR 11949: Left parentheses expected after VALUES keyword, instead found ''"},
    {"INSERT INTO t VALUES (1) COMMIT 5",
     "ERROR 11949: INTERVAL keyword expected after COMMIT keyword, instead found '5'"},
    {"INSERT INTO t VALUES (1) COMMIT INTERVAL 0",
     "ERROR 11949: COMMIT INTERVAL specified (0) is invalid, it must be greater than 0"},
    {"INSERT INTO t VALUES (1) COMMIT INTERVAL -3",
     "ERROR 11949: COMMIT INTERVAL specified (-3) is invalid, it must be greater than 0"},
    {"INSERT INTO t VALUES (1) COMMIT INTERVAL", "ERROR 11949: Commit interval is empty"},
    {"INSERT INTO t VALUES (1) COMMIT INTERVAL x",
     "ERROR 11949: COMMIT INTERVAL specified (0) is invalid, it must be greater than 0"},
    {"INSERT INTO t VALUES (1) x",
     "ERROR 11949: End of INSERT statement expected, instead found 'x'"},
    {"INSERT INTO t SELECT a FROM s x y",
     "ERROR 11949: End of INSERT statement expected, instead found 'y'"},
    {"UPDATE SET a = 1", "ERROR 11949: SET keyword expected, instead found '='"},
    {"UPDATE t AS SET a = 1", "ERROR 11949: SET keyword expected, instead found 'a'"},
    {"UPDATE t u v SET a = 1", "ERROR 11949: SET keyword expected, instead found 'v'"},
    {"UPDATE t SET a 1",
     "ERROR 11949: Assignment (=) operator expected after column name, instead found '1'"},
    {"UPDATE t SET = 1", "ERROR 11949: Table column name is empty"},
    {"UPDATE t SET a = ", "ERROR 11949: Value expression is empty"},
    {"UPDATE t SET a = 1 WHERE",
     "ERROR 11949: Unknown or unexpected symbol '' found in WHERE or JOIN clause"},
    {"UPDATE t SET a = 1 LIMIT 1",
     "ERROR 11949: End of UPDATE statement expected, instead found 'LIMIT'"},
    {"DELETE t", "ERROR 11949: FROM keyword expected, instead found 't'"},
    {"DELETE FROM", "ERROR 11949: Table name expected, instead found ''"},
    {"DELETE FROM t AS",
     "ERROR 11949: Symbol or string expected after AS keyword, instead found ''"},
    {"DELETE FROM t NOJOINOPTIMIZE",
     "ERROR 11949: End of DELETE statement expected, instead found 'NOJOINOPTIMIZE'"},
    {"DELETE FROM t WHERE a = 1 ORDER BY a",
     "ERROR 11949: End of DELETE statement expected, instead found 'ORDER'"},
};

TEST(SqlParser, DataChangeErrors) { RunCases(kChangeErrors, std::size(kChangeErrors)); }

const TCase kDefinitionCases[] = {
    {"CREATE TABLE t (a INTEGER, b CHAR(20) NOT NULL DEFAULT 'x', PRIMARY KEY (a))",
     "Q0{CREATE TABLE table=t fields[a t6, b t1 s20 required default'x'] keys[(primary) (a)]}"},
    {"CREATE TABLE t (a INTEGER DESCRIPTION 'k')", "Q0{CREATE TABLE table=t fields[a t6 desc'k']}"},
    {"CREATE TABLE t (a INTEGER, DESCRIPTION 'k')",
     "Q0{CREATE TABLE table=t fields[a t6] description'k'}"},
    {"CREATE TABLE MEMORY 'c:\\x\\t.dat' (b BYTES(16), c DECIMAL(10,2) MIN 1 MAXIMUM 99 "
     "CHARCASE UPPER, d VARCHAR(5) CHARCASE NOCHANGE, e AUTOINC, f BLOB(1,1), g DATE, "
     "CONSTRAINT pk UNIQUE DESC NOCASE PRIMARY KEY (a, 'b') COMPRESS DUPBYTE, BLOB BLOCK SIZE "
     "1024 LANGUAGE 'German (Standard)' ENCRYPTED WITH s3 USER MAJOR VERSION 2 USER MINOR "
     "VERSION 7)",
     "Q0{CREATE TABLE MEMORY:table=c:\\x\\t.dat fields[b t9 s16, c t8 d2 min'1' max'99' case2, "
     "d t1 s5 case0, e t6/29, f t3/22, g t2] keys[(primary) unique desc nocase compress1 "
     "(a,b)] blocksize=1024 language=1031/0 encrypted's3' version=2.7}"},
    {"CREATE TABLE t (a MONEY) USER MINOR VERSION 3)",
     "ERROR 11949: End of CREATE TABLE statement expected, instead found 'USER'"},
    {"CREATE TABLE t (a SMALLINT USER MINOR VERSION 3)",
     "Q0{CREATE TABLE table=t fields[a t5] version=1.3}"},
    {"CREATE UNIQUE DESC NOCASE INDEX ix ON t (name) COMPRESS FULL",
     "Q0{CREATE INDEX table=t index=ix keys[ix unique desc nocase compress3 (name)]}"},
    {"CREATE INDEX ix ON MEMORY t (a, b, \"c\");",
     "Q0{CREATE INDEX MEMORY:table=t index=ix keys[ix (a,b,c)]}"},
    {"ALTER TABLE t ADD c INTEGER AT 1", "Q0{ALTER TABLE table=t fields[ADD c t6 at1]}"},
    {"ALTER TABLE t REDEFINE c d CHAR(10), REDEFINE x INTEGER, REDEFINE COLUMN y DESCRIPTION "
     "'why', REDEFINE [date] DATE NOT NULL, DROP COLUMN z, DROP w",
     "Q0{ALTER TABLE table=t fields[REDEFINE c->d t1 s10, REDEFINE x t6, REDEFINE y desc'why', "
     "REDEFINE date t2 required, DROP z, DROP w]}"},
    {"ALTER TABLE t ADD PRIMARY KEY (a), REDEFINE UNIQUE PRIMARY KEY (b) COMPRESS TRAILBYTE, "
     "DROP CONSTRAINT k PRIMARY KEY, DROP PRIMARY KEY",
     "Q0{ALTER TABLE table=t keys[ADD (primary) (a), REDEFINE (primary) unique compress2 (b), "
     "DROP (primary) (), DROP (primary) ()]}"},
    {"ALTER TABLE MEMORY t ADD COLUMN c TIMESTAMP DEFAULT 0, DESCRIPTION 'd' LAST AUTOINC 500 "
     "NOBACKUP",
     "Q0{ALTER TABLE MEMORY:table=t fields[ADD c t11 default'0'] description'd' "
     "lastautoinc=500 nobackup}"},
    {"ALTER TABLE t", "Q0{ALTER TABLE table=t}"},
    {"DROP TABLE t", "Q0{DROP TABLE table=t}"},
    {"DROP TABLE MEMORY 'c:\\t.dat'", "Q0{DROP TABLE MEMORY:table=c:\\t.dat}"},
    {"DROP INDEX t.ix", "Q0{DROP INDEX table=t index=ix}"},
    {"DROP INDEX MEMORY t.PRIMARY;", "Q0{DROP INDEX MEMORY:table=t index=PRIMARY}"},
};

TEST(SqlParser, DefinitionStatements) { RunCases(kDefinitionCases, std::size(kDefinitionCases)); }

const TCase kDefinitionErrors[] = {
    {"CREATE TABLE (a INTEGER)",
     "ERROR 11949: Table name expected after CREATE TABLE keywords, instead found '('"},
    {"CREATE TABLE MEMORY (a INTEGER)", "ERROR 11949: Table name expected, instead found '('"},
    {"CREATE TABLE t a INTEGER",
     "ERROR 11949: Left parentheses expected before list of table columns, instead found 'a'"},
    {"CREATE TABLE t (a)",
     "ERROR 11949: SQL data type keyword expected, instead found ')' in table column"},
    {"CREATE TABLE t (a CHAR(300))",
     "ERROR 11949: Length argument must be an integer greater than 0 and less than or equal to "
     "250 in table column"},
    {"CREATE TABLE t (a BLOB(2, 1))",
     "ERROR 11949: First BLOB type argument must be an integer with the value of 1 in table "
     "column"},
    {"CREATE TABLE t (a BLOB(1, 9))",
     "ERROR 11949: BLOB type argument must be an integer greater than 0 and less than or equal "
     "to 5 in table column"},
    {"CREATE TABLE t (a DECIMAL(10, 7))",
     "ERROR 11949: Scale argument must be an integer less than or equal to 4 for the BCD data "
     "type in table column"},
    {"CREATE TABLE t (a FOO)",
     "ERROR 11949: SQL data type keyword expected, instead found 'FOO' in table column"},
    {"CREATE TABLE t (, a INTEGER)", "ERROR 11949: Table column name is empty"},
    {"CREATE TABLE t (a INTEGER NOT 5)",
     "ERROR 11949: NULL keyword expected after NOT keyword, instead found '5'"},
    {"CREATE TABLE t (a CHAR(5) CHARCASE MIXED)",
     "ERROR 11949: UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead "
     "found 'MIXED'"},
    {"CREATE TABLE t (a INTEGER b INTEGER)",
     "ERROR 11949: Right parentheses expected after CREATE TABLE statement, instead found 'b'"},
    {"CREATE TABLE t (a INTEGER, UNIQUE KEY (a))",
     "ERROR 11949: PRIMARY keyword expected, instead found 'KEY'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY (a))",
     "ERROR 11949: KEY keyword expected after PRIMARY keyword, instead found '('"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY a)",
     "ERROR 11949: Left parentheses expected after KEY keyword, instead found 'a'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a b))",
     "ERROR 11949: Right parentheses expected after primary key clause, instead found 'b'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY ())", "ERROR 11949: Index column name is empty"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a) COMPRESS ALL)",
     "ERROR 11949: FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, "
     "instead found 'ALL'"},
    {"CREATE TABLE t (a INTEGER, BLOB SIZE 5)",
     "ERROR 11949: BLOCK keyword expected after BLOB keyword, instead found 'SIZE'"},
    {"CREATE TABLE t (a INTEGER, BLOB BLOCK 5)",
     "ERROR 11949: SIZE keyword expected after BLOCK keyword, instead found '5'"},
    {"CREATE TABLE t (a INTEGER, BLOB BLOCK SIZE)", "ERROR 11949: BLOB block size is empty"},
    {"CREATE TABLE t (a INTEGER, ENCRYPTED 'x')",
     "ERROR 11949: WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER, USER VERSION 1)",
     "ERROR 11949: MAJOR keyword expected after USER keyword, instead found 'VERSION'"},
    {"CREATE TABLE t (a INTEGER, USER MAJOR 1)",
     "ERROR 11949: VERSION keyword expected after MAJOR keyword, instead found '1'"},
    {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION 1 USER MAJOR VERSION 2)",
     "ERROR 11949: MINOR keyword expected after USER keyword, instead found 'MAJOR'"},
    {"CREATE TABLE t (a INTEGER, USER MINOR 1)",
     "ERROR 11949: VERSION keyword expected after MINOR keyword, instead found '1'"},
    {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION)", "ERROR 11949: User version number is empty"},
    {"CREATE TABLE t (a INTEGER, LANGUAGE 'Elvish')",
     "ERROR 11949: Invalid language constant 'Elvish' specified after LANGUAGE keyword"},
    {"CREATE TABLE t (a INTEGER) x",
     "ERROR 11949: End of CREATE TABLE statement expected, instead found 'x'"},
    {"CREATE UNIQUE TABLE t (a INTEGER)",
     "ERROR 11949: INDEX keyword expected, instead found 'TABLE'"},
    {"CREATE INDEX ON t (a)",
     "ERROR 11949: ON keyword expected after index name, instead found 't'"},
    {"CREATE INDEX ix t (a)",
     "ERROR 11949: ON keyword expected after index name, instead found 't'"},
    {"CREATE INDEX ix ON (a)",
     "ERROR 11949: Table name expected after ON keyword, instead found '('"},
    {"CREATE INDEX ix ON MEMORY (a)", "ERROR 11949: Table name expected, instead found '('"},
    {"CREATE INDEX ix ON t a",
     "ERROR 11949: Left parentheses expected after KEY keyword, instead found 'a'"},
    {"CREATE INDEX ix ON t (a",
     "ERROR 11949: Right parentheses expected after primary key clause, instead found ''"},
    {"CREATE INDEX ix ON t (a) COMPRESS",
     "ERROR 11949: FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, "
     "instead found ''"},
    {"CREATE INDEX ix ON t (a) UNIQUE",
     "ERROR 11949: End of CREATE INDEX statement expected, instead found 'UNIQUE'"},
    {"ALTER t ADD a INTEGER", "ERROR 11949: TABLE keyword expected, instead found 't'"},
    {"ALTER TABLE ADD a INTEGER",
     "ERROR 11949: End of ALTER TABLE statement expected, instead found 'a'"},
    {"ALTER TABLE MEMORY 7", "ERROR 11949: Table name expected, instead found '7'"},
    {"ALTER TABLE t ADD a",
     "ERROR 11949: SQL data type keyword expected, instead found '' in table column"},
    {"ALTER TABLE t ADD a INTEGER AT", "ERROR 11949: column position is empty"},
    {"ALTER TABLE t DROP CONSTRAINT k KEY",
     "ERROR 11949: PRIMARY keyword expected, instead found 'KEY'"},
    {"ALTER TABLE t DROP PRIMARY (a)",
     "ERROR 11949: KEY keyword expected after PRIMARY keyword, instead found '('"},
    {"ALTER TABLE t LAST 5",
     "ERROR 11949: AUTOINC keyword expected after LAST keyword, instead found '5'"},
    {"ALTER TABLE t LAST AUTOINC", "ERROR 11949: Next auto-increment number is empty"},
    {"ALTER TABLE t ADD a INTEGER RENAME b",
     "ERROR 11949: End of ALTER TABLE statement expected, instead found 'RENAME'"},
    {"DROP TABLE", "ERROR 11949: Table name expected after TABLE keyword, instead found ''"},
    {"DROP TABLE MEMORY", "ERROR 11949: Table name expected, instead found ''"},
    {"DROP TABLE t u", "ERROR 11949: End of DROP TABLE statement expected, instead found 'u'"},
    {"DROP INDEX", "ERROR 11949: Index name expression is empty"},
    {"DROP INDEX 5", "ERROR 11949: Table name expected after INDEX keyword, instead found '5'"},
    {"DROP INDEX MEMORY (x)", "ERROR 11949: Table name expected, instead found '('"},
    {"DROP INDEX ix", "ERROR 11949: Table name expected after INDEX keyword, instead found 'ix'"},
    {"DROP INDEX t.ix.y", "ERROR 11949: End of DROP INDEX statement expected, instead found '.'"},
};

TEST(SqlParser, DefinitionErrors) { RunCases(kDefinitionErrors, std::size(kDefinitionErrors)); }


}  // namespace
