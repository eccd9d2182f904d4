// The OpenAPI document of the REST API, served as it stands: its length is
// the reply's Content-Length.
#include "gannet.h"

namespace gannet {

// clang-format off
const char kOpenApiDocument[] = R"OPENAPI({
  "openapi": "3.0.0",
  "info": {
    "description": "This API provides basic CRUD access to quarn.",
    "version": "1.0.0",
    "title": "quarn REST API"
  },
  "components": {
    "securitySchemes": {
      "basicAuth": {
        "type": "http",
        "scheme": "basic"
      }
    },
    "schemas": {
      "Error": {
        "type": "object",
        "required": [
          "_errorCode",
          "_errorMessage"
        ],
        "properties": {
          "_errorCode": {
            "type": "integer"
          },
          "_errorMessage": {
            "type": "string"
          }
        }
      },
      "Record": {
        "type": "object",
        "description": "Field/value pairs, one per field. In results \"_id\" is a pseudo field holding the record id used in record handling.",
        "additionalProperties": true,
        "example": {
          "custnumb": "0001",
          "custzipc": "123456789",
          "custstat": "NY",
          "custrtng": "1",
          "custname": "First Customer",
          "custaddr": "1 Main Street",
          "custcity": "New York"
        }
      },
      "Database": {
        "type": "object"
      },
      "Table": {
        "type": "object",
        "required": [
          "fields"
        ],
        "properties": {
          "fields": {
            "type": "array",
            "minItems": 1,
            "items": {
              "type": "object",
              "required": [
                "name",
                "type"
              ],
              "properties": {
                "name": {
                  "type": "string"
                },
                "type": {
                  "type": "string",
                  "enum": [
                    "BIT",
                    "TINYINT",
                    "SMALLINT",
                    "INTEGER",
                    "BIGINT",
                    "MONEY",
                    "DATE",
                    "TIME",
                    "REAL",
                    "DOUBLE",
                    "TIMESTAMP",
                    "BINARY",
                    "CHAR",
                    "NUMBER",
                    "VARBINARY",
                    "LVARBINARY",
                    "VARCHAR",
                    "LVARCHAR",
                    "NCHAR",
                    "NVARCHAR",
                    "JSON"
                  ]
                },
                "length": {
                  "type": "integer"
                },
                "scale": {
                  "type": "integer"
                },
                "precision": {
                  "type": "integer"
                },
                "autosystemtime": {
                  "type": "object",
                  "description": "The field is set to the system time when the record is created and/or updated.",
                  "properties": {
                    "create": {
                      "type": "boolean"
                    },
                    "update": {
                      "type": "boolean"
                    }
                  }
                }
              }
            }
          },
          "remarks": {
            "type": "object",
            "readOnly": true,
            "properties": {
              "partitioned": {
                "type": "object",
                "properties": {
                  "partition_index": {
                    "type": "string"
                  },
                  "rule": {
                    "type": "string"
                  },
                  "numberofbits": {
                    "type": "integer"
                  },
                  "maximumactive": {
                    "type": "integer"
                  }
                }
              }
            }
          }
        },
        "example": {
          "fields": [
            {
              "name": "custnumb",
              "type": "CHAR",
              "length": 4
            },
            {
              "name": "custzipc",
              "type": "CHAR",
              "length": 9
            },
            {
              "name": "custstat",
              "type": "CHAR",
              "length": 2
            },
            {
              "name": "custrtng",
              "type": "CHAR",
              "length": 1
            },
            {
              "name": "custname",
              "type": "VARCHAR",
              "length": 47
            },
            {
              "name": "custaddr",
              "type": "VARCHAR",
              "length": 47
            },
            {
              "name": "custcity",
              "type": "VARCHAR",
              "length": 47
            }
          ]
        }
      },
      "Index": {
        "type": "object",
        "required": [
          "fields"
        ],
        "properties": {
          "fields": {
            "type": "array",
            "minItems": 1,
            "items": {
              "type": "object",
              "required": [
                "name"
              ],
              "properties": {
                "name": {
                  "type": "string"
                },
                "key": {
                  "type": "string",
                  "description": "Key inside a JSON field (JSON fields only)."
                },
                "type": {
                  "type": "string",
                  "enum": [
                    "double",
                    "float",
                    "unsigned",
                    "integer",
                    "string",
                    "boolean"
                  ],
                  "description": "Type of the key (JSON fields only)."
                },
                "size": {
                  "type": "integer",
                  "description": "Size of the key in bytes (JSON fields only)."
                },
                "ascending": {
                  "type": "boolean",
                  "default": true
                }
              }
            }
          },
          "unique": {
            "type": "boolean",
            "default": false
          },
          "partition": {
            "type": "object",
            "required": [
              "rule"
            ],
            "properties": {
              "rule": {
                "type": "string"
              },
              "numberofbits": {
                "type": "integer",
                "description": "0 means 16 bits, fewer than 4 bits mean 4, at most 32."
              },
              "maximumactive": {
                "type": "integer"
              }
            }
          }
        },
        "example": {
          "fields": [
            {
              "name": "custname"
            },
            {
              "name": "custrtng",
              "ascending": false
            }
          ],
          "unique": false
        }
      }
    },
    "responses": {
      "NotFound": {
        "description": "The resource was not found.",
        "content": {
          "application/json": {
            "schema": {
              "$ref": "#/components/schemas/Error"
            }
          }
        }
      },
      "BadRequest": {
        "description": "The request is not valid.",
        "content": {
          "application/json": {
            "schema": {
              "$ref": "#/components/schemas/Error"
            }
          }
        }
      },
      "Unauthorized": {
        "description": "Wrong credentials.",
        "content": {
          "application/json": {
            "schema": {
              "$ref": "#/components/schemas/Error"
            }
          }
        }
      },
      "Internal": {
        "description": "Internal error.",
        "content": {
          "application/json": {
            "schema": {
              "$ref": "#/components/schemas/Error"
            }
          }
        }
      },
      "BadMethod": {
        "description": "Method not allowed."
      },
      "Record": {
        "description": "A record.",
        "content": {
          "application/json": {
            "schema": {
              "$ref": "#/components/schemas/Record"
            }
          }
        }
      },
      "RecordPost": {
        "description": "The ids of the records created.",
        "content": {
          "application/json": {
            "schema": {
              "oneOf": [
                {
                  "type": "object",
                  "description": "One record was sent: its id.",
                  "required": [
                    "_id"
                  ],
                  "additionalProperties": false,
                  "properties": {
                    "_id": {
                      "type": "integer"
                    }
                  }
                },
                {
                  "type": "object",
                  "description": "An array of records was sent: their ids in its order.",
                  "required": [
                    "_ids"
                  ],
                  "additionalProperties": false,
                  "properties": {
                    "_ids": {
                      "type": "array",
                      "items": {
                        "type": "integer"
                      }
                    }
                  }
                }
              ]
            },
            "example": {
              "_ids": [
                123,
                124,
                125
              ]
            }
          }
        }
      }
    }
  },
  "security": [
    {
      "basicAuth": []
    }
  ],
  "tags": [
    {
      "name": "Specification"
    },
    {
      "name": "Record",
      "description": "Record handling"
    },
    {
      "name": "Table",
      "description": "Table definition handling"
    },
    {
      "name": "Index",
      "description": "Index definition handling"
    },
    {
      "name": "Query",
      "description": "Record querying"
    }
  ],
  "paths": {
    "/quarn/api/v1/openapi": {
      "get": {
        "tags": [
          "Specification"
        ],
        "summary": "Retrieve open api specification 3.0.0 in JSON format.",
        "operationId": "getOpenApi",
        "responses": {
          "200": {
            "description": "The document.",
            "content": {
              "application/json": {
                "schema": {
                  "type": "object"
                }
              }
            }
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      }
    },
    "/quarn/api/v1/database": {
      "get": {
        "tags": [
          "Database"
        ],
        "summary": "Get the list of databases",
        "operationId": "getDatabases",
        "responses": {
          "200": {
            "description": "Success",
            "content": {
              "application/json": {
                "schema": {
                  "type": "object",
                  "properties": {
                    "_databases": {
                      "type": "array",
                      "items": {
                        "type": "string"
                      },
                      "example": [
                        "quarnSQL"
                      ]
                    }
                  }
                }
              }
            }
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "404": {
            "$ref": "#/components/responses/NotFound"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      }
    },
    "/quarn/api/v1/database/{db}": {
      "post": {
        "tags": [
          "Database"
        ],
        "summary": "Create a database",
        "operationId": "postDatabase",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "responses": {
          "200": {
            "description": "Success"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "404": {
            "$ref": "#/components/responses/NotFound"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      },
      "delete": {
        "tags": [
          "Database"
        ],
        "summary": "Delete a database",
        "operationId": "deleteDatabase",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "responses": {
          "200": {
            "description": "Success"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "404": {
            "$ref": "#/components/responses/NotFound"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      }
    },
    "/quarn/api/v1/record/{db}/{table}/{id}": {
      "get": {
        "tags": [
          "Record"
        ],
        "summary": "Get a record by ID",
        "operationId": "getRecord",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "id",
            "in": "path",
            "description": "Numeric ID of the record",
            "required": true,
            "schema": {
              "type": "integer"
            }
          }
        ],
        "responses": {
          "200": {
            "$ref": "#/components/responses/Record"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "404": {
            "$ref": "#/components/responses/NotFound"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      },
      "patch": {
        "tags": [
          "Record"
        ],
        "summary": "Updated record specified fields by ID",
        "operationId": "patchRecord",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "id",
            "in": "path",
            "description": "Numeric ID of the record",
            "required": true,
            "schema": {
              "type": "integer"
            }
          }
        ],
        "requestBody": {
          "required": true,
          "content": {
            "application/json": {
              "schema": {
                "$ref": "#/components/schemas/Record"
              }
            }
          },
          "description": "Missing fields are left as they are."
        },
        "responses": {
          "200": {
            "description": "Success"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "404": {
            "$ref": "#/components/responses/NotFound"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      },
      "put": {
        "tags": [
          "Record"
        ],
        "summary": "Update an entire record by ID",
        "operationId": "putRecord",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "id",
            "in": "path",
            "description": "Numeric ID of the record",
            "required": true,
            "schema": {
              "type": "integer"
            }
          }
        ],
        "requestBody": {
          "required": true,
          "content": {
            "application/json": {
              "schema": {
                "$ref": "#/components/schemas/Record"
              }
            }
          }
        },
        "responses": {
          "200": {
            "description": "Success"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "404": {
            "$ref": "#/components/responses/NotFound"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      },
      "delete": {
        "tags": [
          "Record"
        ],
        "summary": "Delete a record by ID",
        "operationId": "deleteRecord",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "id",
            "in": "path",
            "description": "Numeric ID of the record",
            "required": true,
            "schema": {
              "type": "integer"
            }
          }
        ],
        "responses": {
          "200": {
            "description": "Success"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "404": {
            "$ref": "#/components/responses/NotFound"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      }
    },
    "/quarn/api/v1/record/{db}/{table}": {
      "post": {
        "tags": [
          "Record"
        ],
        "summary": "Create a record",
        "operationId": "postRecord",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "requestBody": {
          "required": true,
          "content": {
            "application/json": {
              "schema": {
                "oneOf": [
                  {
                    "$ref": "#/components/schemas/Record"
                  },
                  {
                    "type": "array",
                    "minItems": 1,
                    "items": {
                      "$ref": "#/components/schemas/Record"
                    }
                  }
                ]
              },
              "example": [
                {
                  "custnumb": "0001",
                  "custzipc": "123456789",
                  "custstat": "NY",
                  "custrtng": "1",
                  "custname": "First Customer",
                  "custaddr": "1 Main Street",
                  "custcity": "New York"
                },
                {
                  "custnumb": "0002",
                  "custzipc": "123456789",
                  "custstat": "NY",
                  "custrtng": "1",
                  "custname": "Second Customer",
                  "custaddr": "1 Main Street",
                  "custcity": "New York"
                },
                {
                  "custnumb": "0003",
                  "custzipc": "123456789",
                  "custstat": "NY",
                  "custrtng": "1",
                  "custname": "Third Customer",
                  "custaddr": "1 Main Street",
                  "custcity": "New York"
                }
              ]
            }
          }
        },
        "responses": {
          "200": {
            "$ref": "#/components/responses/RecordPost"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      }
    },
    "/quarn/api/v1/table/{db}/{table}": {
      "post": {
        "tags": [
          "Table"
        ],
        "summary": "Create a table",
        "operationId": "postTable",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "requestBody": {
          "required": true,
          "content": {
            "application/json": {
              "schema": {
                "$ref": "#/components/schemas/Table"
              }
            }
          }
        },
        "responses": {
          "200": {
            "description": "Success"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      },
      "get": {
        "tags": [
          "Table"
        ],
        "summary": "Get the table definition",
        "operationId": "getTable",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "responses": {
          "200": {
            "description": "Success",
            "content": {
              "application/json": {
                "schema": {
                  "$ref": "#/components/schemas/Table"
                }
              }
            }
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      },
      "delete": {
        "tags": [
          "Table"
        ],
        "summary": "Delete a table",
        "operationId": "deleteTable",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "responses": {
          "200": {
            "description": "Success"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "404": {
            "$ref": "#/components/responses/NotFound"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      }
    },
    "/quarn/api/v1/index/{db}/{table}/{index}": {
      "post": {
        "tags": [
          "Index"
        ],
        "summary": "Create an index",
        "operationId": "postIndex",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "index",
            "in": "path",
            "description": "Index Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "requestBody": {
          "required": true,
          "content": {
            "application/json": {
              "schema": {
                "$ref": "#/components/schemas/Index"
              }
            }
          }
        },
        "responses": {
          "200": {
            "description": "Success"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      },
      "get": {
        "tags": [
          "Index"
        ],
        "summary": "Get the index definition",
        "operationId": "getIndex",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "index",
            "in": "path",
            "description": "Index Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "responses": {
          "200": {
            "description": "Success",
            "content": {
              "application/json": {
                "schema": {
                  "$ref": "#/components/schemas/Index"
                }
              }
            }
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      },
      "delete": {
        "tags": [
          "Index"
        ],
        "summary": "Delete an index",
        "operationId": "deleteIndex",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "index",
            "in": "path",
            "description": "Index Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "responses": {
          "200": {
            "description": "Success"
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "404": {
            "$ref": "#/components/responses/NotFound"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      }
    },
    "/quarn/api/v1/table/{db}": {
      "get": {
        "tags": [
          "Table"
        ],
        "summary": "Get a list of tables in the database",
        "operationId": "getTables",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "responses": {
          "200": {
            "description": "Success",
            "content": {
              "application/json": {
                "schema": {
                  "type": "object",
                  "properties": {
                    "_tables": {
                      "type": "array",
                      "items": {
                        "type": "string"
                      }
                    }
                  }
                }
              }
            }
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      }
    },
    "/quarn/api/v1/index/{db}/{table}": {
      "get": {
        "tags": [
          "Index"
        ],
        "summary": "Get a list of indidexes on the table",
        "operationId": "getIndexes",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          }
        ],
        "responses": {
          "200": {
            "description": "Success",
            "content": {
              "application/json": {
                "schema": {
                  "type": "object",
                  "properties": {
                    "_indexes": {
                      "type": "array",
                      "items": {
                        "type": "string"
                      }
                    }
                  }
                }
              }
            }
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      }
    },
    "/quarn/api/v1/query/{db}/{table}/{index}": {
      "post": {
        "tags": [
          "Query"
        ],
        "summary": "Perform a search on the specified table using the specified index",
        "operationId": "postQuery",
        "parameters": [
          {
            "name": "db",
            "in": "path",
            "description": "Database Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "table",
            "in": "path",
            "description": "Table Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "index",
            "in": "path",
            "description": "Index Name",
            "required": true,
            "schema": {
              "type": "string"
            }
          },
          {
            "name": "top",
            "in": "query",
            "description": "The maximum number of records returned",
            "required": true,
            "schema": {
              "type": "integer"
            }
          },
          {
            "name": "skip",
            "in": "query",
            "description": "Records skipped before returning",
            "required": false,
            "schema": {
              "type": "integer"
            }
          }
        ],
        "requestBody": {
          "required": true,
          "content": {
            "application/json": {
              "schema": {
                "type": "object",
                "properties": {
                  "advanced_find": {
                    "type": "object",
                    "properties": {
                      "find_record": {
                        "type": "object",
                        "properties": {
                          "operator": {
                            "type": "string",
                            "enum": [
                              ">",
                              ">=",
                              "<=",
                              "<",
                              "="
                            ]
                          },
                          "fields": {
                            "$ref": "#/components/schemas/Record"
                          }
                        }
                      },
                      "find_set": {
                        "type": "object",
                        "properties": {
                          "length": {
                            "type": "integer"
                          },
                          "fields": {
                            "$ref": "#/components/schemas/Record"
                          }
                        }
                      }
                    }
                  },
                  "find": {
                    "type": "object",
                    "additionalProperties": {
                      "type": "object",
                      "properties": {
                        "operator": {
                          "type": "string",
                          "enum": [
                            ">",
                            ">=",
                            "<=",
                            "<",
                            "=",
                            "between"
                          ]
                        },
                        "value": {
                          "oneOf": [
                            {
                              "type": "string"
                            },
                            {
                              "type": "boolean"
                            },
                            {
                              "type": "number"
                            },
                            {
                              "type": "object"
                            }
                          ]
                        },
                        "lowervalue": {
                          "oneOf": [
                            {
                              "type": "string"
                            },
                            {
                              "type": "boolean"
                            },
                            {
                              "type": "number"
                            },
                            {
                              "type": "object"
                            }
                          ]
                        },
                        "excludelowervalue": {
                          "oneOf": [
                            {
                              "type": "string"
                            },
                            {
                              "type": "boolean"
                            },
                            {
                              "type": "number"
                            },
                            {
                              "type": "object"
                            }
                          ]
                        },
                        "uppervalue": {
                          "oneOf": [
                            {
                              "type": "string"
                            },
                            {
                              "type": "boolean"
                            },
                            {
                              "type": "number"
                            },
                            {
                              "type": "object"
                            }
                          ]
                        },
                        "excludeuppervalue": {
                          "oneOf": [
                            {
                              "type": "string"
                            },
                            {
                              "type": "boolean"
                            },
                            {
                              "type": "number"
                            },
                            {
                              "type": "object"
                            }
                          ]
                        }
                      }
                    }
                  },
                  "filter": {
                    "type": "string",
                    "description": "Filter in the database's filter syntax: comparisons of fields with values (= <> < <= > >=, texts in single quotes, null) joined with AND, OR, NOT and parentheses."
                  },
                  "reverse": {
                    "type": "boolean"
                  },
                  "select": {
                    "type": "array",
                    "items": {
                      "type": "string"
                    }
                  }
                },
                "example": {
                  "find": {
                    "custname": {
                      "operator": ">=",
                      "value": "F"
                    },
                    "custrtng": {
                      "operator": "between",
                      "lowervalue": "1",
                      "excludeuppervalue": "3"
                    }
                  }
                }
              }
            }
          }
        },
        "responses": {
          "200": {
            "description": "Success",
            "content": {
              "application/json": {
                "schema": {
                  "type": "array",
                  "items": {
                    "type": "string"
                  }
                }
              }
            }
          },
          "400": {
            "$ref": "#/components/responses/BadRequest"
          },
          "401": {
            "$ref": "#/components/responses/Unauthorized"
          },
          "500": {
            "$ref": "#/components/responses/Internal"
          }
        },
        "security": [
          {
            "basicAuth": []
          }
        ]
      }
    }
  },
  "servers": [
    {
      "url": "/",
      "description": "This web server: the paths are relative to the address this document was read from"
    }
  ]
})OPENAPI";
// clang-format on
const size_t kOpenApiLength = sizeof kOpenApiDocument - 1;

}  // namespace gannet
