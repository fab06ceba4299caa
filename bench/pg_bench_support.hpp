#pragma once
// The hand-written side of the PostgreSQL benchmarks: a plain libpq connection to the server the
// POSTGRES_* variables name, with the calls the fastest hand-written code makes (statements
// prepared once, COPY).

#include "bench_support.hpp"

#include <libpq-fe.h>

#include <string>
#include <vector>

namespace korvex::bench {

class RawConnection {
public:
    RawConnection();
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // Runs a statement with text parameters ($1..$n), unprepared; returns the number of rows and
    // throws with the server's message. For setting up and for BEGIN / COMMIT.
    int exec(const std::string& sql, const std::vector<std::string>& params = {});
    // Prepares `sql` once under `name` for this session.
    void prepare(const std::string& name, const std::string& sql);
    // Runs a prepared statement with text values (null for NULL); returns the number of rows.
    int exec_prepared(const std::string& name, const std::vector<const char*>& values);
    // Runs a COPY ... FROM STDIN with `data` in COPY's text format (see append_copy_row).
    void copy(const std::string& copy_statement, const std::string& data);

private:
    int checked(PGresult* result, const std::string& what);
    PGconn* conn_;
};

// The INSERT of one BenchPerson row into benchperson_v_1, with $n markers.
std::string person_insert(int rows = 1);
// The values of `row` in PERSON_COLUMNS order, for exec_prepared.
void append_person_values(std::vector<const char*>& values, const PersonRow& row);
// COPY's statement for benchperson_v_1 in PERSON_COLUMNS order, and one row of its text format.
std::string person_copy();
void append_copy_row(std::string& data, const PersonRow& row);

}  // namespace korvex::bench
